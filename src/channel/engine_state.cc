#include "channel/engine_state.h"

EngineState& GetEngineState() {
  static EngineState state{};
  return state;
}
