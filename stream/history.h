#pragma once

#include <cstddef>

// How many of the last relayed messages a newcomer is given: the same for
// a server alone and for a room shared through Redis.
constexpr std::size_t kHistoryLength = 3;
