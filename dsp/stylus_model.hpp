#pragma once

// Which groove the chain reads, and how the tip meets its vertical modulation.
//
// The lateral model moves the mid (lateral) component alone, by y·tan α / v, and passes the
// side (vertical) component through untouched. The stylus model takes the tip as one rigid
// point: where the tracking errors make it meet the groove early or late it reads both walls
// there, so both components are read at the same shifted instants, and a vertical excursion
// adds a timing error of its own.
//
// Axes and signs. y is the lateral displacement, positive outward (away from the spindle); z
// the vertical one, positive up. In the 45/45 system the left channel is cut on the inner wall,
// whose normal into the groove points outward and up, (1, 1)/√2 in (y, z); a positive left
// sample moves the groove along it and a positive right sample along (1, −1)/√2, so that L = R
// is outward lateral motion. Hence M = (L + R)/2 is y and S = (L − R)/2 is z, in the same
// millimetres per full scale, and a positive L − R lifts the tip.
//
// Vertical timing. The cutter and the pickup's tip each move vertically along an axis tilted
// back from the vertical, since each swings about a pivot upstream of it: the record's cutting
// angle φ (the vertical modulation angle) and the pickup's vertical tracking angle θ. Cut with a
// lift z, the cutter's point lies z·tan φ downstream: the lift sits on groove that passed the
// nominal point z·tan φ / v earlier. Lifted by z, the tip meets the groove z·tan θ downstream,
// so it reads groove that passed the nominal point z·tan θ / v earlier. The lift is played late
// by z·Δ / v, Δ = tan θ − tan φ. With the lateral term, every high-rate sample is moved in time
// by
//     Δt = (y·tan α − z·Δ) / v,
// positive meaning played early (the lateral model's convention). A left-only signal (z = y)
// has the timing factor tan α − Δ, a right-only one (z = −y) tan α + Δ.

enum class PickupModel { Lateral, Stylus };

// The pickup's vertical tracking angle and the record's cutting angle (the vertical modulation
// angle), in degrees from the vertical, each from 0 up to below 90.
struct StylusAngles {
    double verticalTrackingDegrees = 20.0;
    double cuttingDegrees = 20.0;
};

// Δ = tan θ − tan φ (not the tangent of their difference): each angle converted with the
// chain's π, each tangent in extended precision, the difference kept extended.
long double verticalSlopeDifference(const StylusAngles& angles);
