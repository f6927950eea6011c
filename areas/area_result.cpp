#include "areas/area_result.h"

const char* areaResultName(AreaResult::Code code) {
    switch (code) {
    case AreaResult::Code::Ok: return "ok";
    case AreaResult::Code::NotFound: return "not found";
    case AreaResult::Code::Forbidden: return "forbidden";
    case AreaResult::Code::Busy: return "busy";
    case AreaResult::Code::Damaged: return "damaged";
    case AreaResult::Code::IoError: return "I/O error";
    }
    return "unknown";
}
