#include "engine/base/EngineGlobals.h"

namespace kf {

EngineGlobals& EngineGlobals::Instance() {
    static EngineGlobals globals;
    return globals;
}

}  // namespace kf
