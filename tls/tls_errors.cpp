#include "tls/tls_errors.h"

#include <openssl/err.h>

std::string takeTlsError() {
    unsigned long e = ERR_get_error();
    ERR_clear_error();
    if (e == 0) return "";
    if (const char* reason = ERR_reason_error_string(e)) return reason;
    char text[256];
    ERR_error_string_n(e, text, sizeof text);
    return text;
}
