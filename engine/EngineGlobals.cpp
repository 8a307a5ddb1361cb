#include "engine/EngineGlobals.h"

#include "engine/task/TBaseWork.h"

namespace kf {

EngineGlobals& EngineGlobals::Instance() {
    static EngineGlobals globals;
    return globals;
}

}  // namespace kf
