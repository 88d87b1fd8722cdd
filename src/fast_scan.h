// The scan used by the analyses: built once per motif, run on every sequence.
#pragma once

#include <cstdint>
#include <span>

#include "scan.h"

class fast_scanner {
public:
    explicit fast_scanner(motif_quotients mq) : mq_(std::move(mq)) {}
    // Exactly best_window_exact's result.
    window_hit best_window(std::span<const std::uint8_t> codes) const { return best_window_exact(mq_, codes); }
    int width() const { return mq_.width; }

private:
    motif_quotients mq_;
};
