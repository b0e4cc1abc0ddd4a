#pragma once

#include <concepts>
#include <cstdint>
#include <type_traits>
#include <utility>

// What a source gives at one high-rate index: the lateral component's value (a double) or
// several components' values together.
template <typename Source>
using HighRateValue = std::remove_cvref_t<decltype(std::declval<const Source&>().at(0))>;

// Where the interpolation pass finds the high-rate samples: anything that forms sample n when it
// is asked for. The last upsampling stage is one, forming only the samples the pass's search
// looks at; a signal held whole is another. The pass is a template over its source, so that
// reading a sample costs no call through a table.
template <typename Source>
concept HighRateSource = requires(const Source& source, Source& owner, std::int64_t n,
                                  HighRateValue<Source>* out) {
    // Whether sample n can be formed now.
    { source.ready(n) } -> std::same_as<bool>;
    // Sample n, which must be ready.
    { source.at(n) } -> std::same_as<HighRateValue<Source>>;
    // Samples [first, first + count) into `out`, the values at() gives; all must be ready.
    source.form(n, n, out);
    // An upper bound on |sample n| for every n in [first, last] (for each component on its
    // own), or infinity where it cannot say.
    { source.bound(n, n) } -> std::same_as<HighRateValue<Source>>;
    // No sample before n will be asked for again.
    owner.releaseBefore(n);
};
