// The result dictionary of a match call: the engine's buffer handed to NumPy
// column by column, tokens resolved only when asked for, collectors encoded
// by their strategy.
#pragma once

#include <optional>

#include "engine/match_buffer.hpp"
#include "lib/py.hpp"
#include "types/pattern.hpp"

namespace zuldcore {

// Consumes the buffer. `midstream` is the midstream collector's strategy, or
// empty when the pattern has none ("mid_result" is then None).
Owned buf_to_py(MatchBuffer&& buffer, CollectorStrategy collector,
                std::optional<CollectorStrategy> midstream);

}  // namespace zuldcore
