// quorva-client's session with the server: the connection and login of one invocation,
// the server's refusals and failures turned into the program's exit statuses, and the
// areas named as a person names them.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "client/lib/quorva_client.h"
#include "client/options.h"
#include "wire/packets.h"

namespace qclient::cli {

const char* areaTypeText(int32_t type);

struct Area {
    int32_t number;
    pktAreaInfo info;
    std::string tag() const;
    // The tag for the terminal (tags are ASCII; anything else is taken as header text).
    std::string shownTag() const;
};

class Session {
public:
    explicit Session(const ConnectionSettings& settings);
    ~Session() { close(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Connects and logs in; the password is taken from QUORVA_PASSWORD or asked for once.
    void open();
    // Logs out and closes the connection (a reply is written meanwhile).
    void close();

    const std::string& user() const { return settings_.user; }
    const FidoAddr& address() const { return settings_.addr; }
    std::string where() const;
    qclient::Connection& conn() { return conn_; }

    // Ends the program for anything but Ok; a refusal gets `refusal` as its message.
    void check(qclient::Status s, const std::string& what, const std::string& refusal = "");

    std::vector<Area> areas();
    // An area named by its number or its tag (exact first, then in any letter case).
    Area findArea(const std::string& name);
    std::vector<pktMsgHeader> messages(const Area& area);

private:
    ConnectionSettings settings_;
    std::string password_;
    bool havePassword_ = false;
    qclient::Connection conn_;
    bool loggedIn_ = false;
};

}  // namespace qclient::cli
