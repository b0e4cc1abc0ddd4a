#include "dsp/stylus_high_rate.hpp"

#include <vector>

void StylusHighRate::form(std::int64_t first, std::int64_t count, StylusSample* out) const {
    if (count <= 0) {
        return;
    }
    // Windows are formed on several threads at once: each keeps its own room.
    thread_local std::vector<double> mids;
    thread_local std::vector<double> sides;
    mids.resize(static_cast<std::size_t>(count));
    sides.resize(static_cast<std::size_t>(count));
    mid_->form(first, count, mids.data());
    side_->form(first, count, sides.data());
    for (std::int64_t k = 0; k < count; ++k) {
        out[k] = {mids[static_cast<std::size_t>(k)], sides[static_cast<std::size_t>(k)]};
    }
}
