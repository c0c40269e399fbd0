#include "channel/engine_state.h"

namespace vdqrn {

EngineState& GetEngineState() {
  static EngineState state{};
  return state;
}

}  // namespace vdqrn
