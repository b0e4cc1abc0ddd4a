#include "dsp/traced_high_rate.hpp"
#include "dsp/tracking_stage.hpp"
#include "dsp/tracking_stage_impl.hpp"

template class TrackingStage<TracedHighRate>;
