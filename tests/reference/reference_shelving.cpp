#include "tests/reference/reference_shelving.hpp"

#include <cmath>
#include <cstddef>

namespace {

using Extended = long double;

const Extended kPi = 3.14159265359L;

struct Corners {
    double f0, f1, f2, f3;
};

Corners corners() {
    const float tau1 = 0.00318f;
    const double tau2 = 0.000318;
    const double tau3 = 7.5e-05;
    Corners c;
    c.f0 = 1.0;
    c.f1 = static_cast<double>(Extended(1) / (kPi * Extended(2) * Extended(tau1)));
    c.f2 = static_cast<double>(Extended(1) / (kPi * Extended(2) * Extended(tau2)));
    c.f3 = static_cast<double>(Extended(1) / (kPi * Extended(2) * Extended(tau3)));
    return c;
}

double period(int fs) {
    return static_cast<double>(Extended(1) / Extended(fs));
}

}  // namespace

ReferenceSection referenceShelvingSection(double fz, double fp, double T) {
    ReferenceSection s;
    s.wp =
        static_cast<double>(tanl(((kPi * Extended(2)) * Extended(fp)) * Extended(T) / Extended(2)));
    s.wz =
        static_cast<double>(tanl(((kPi * Extended(2)) * Extended(fz)) * Extended(T) / Extended(2)));
    s.num0 = static_cast<double>(Extended(s.wz) * Extended(s.wp) + Extended(s.wp));
    s.num1 = static_cast<double>(Extended(s.wz) * Extended(s.wp) - Extended(s.wp));
    s.den1 = static_cast<double>(Extended(s.wz) - Extended(s.wz) * Extended(s.wp));
    s.den0 = static_cast<double>(Extended(s.wz) * Extended(s.wp) + Extended(s.wz));
    return s;
}

std::vector<double> referenceRunSection(const std::vector<double>& x, const ReferenceSection& s) {
    const std::size_t n = x.size();
    std::vector<double> y(n, 0.0);
    for (std::size_t k = 2; k < n; ++k) {
        const Extended first = (Extended(s.num0) / Extended(s.den0)) * Extended(x[k]);
        const Extended second = (Extended(s.num1) / Extended(s.den0)) * Extended(x[k - 1]);
        const Extended third = (Extended(s.den1) / Extended(s.den0)) * Extended(y[k - 1]);
        y[k] = static_cast<double>((first + second) + third);
    }
    return y;
}

std::vector<double> referenceFilterLateral(const std::vector<double>& mid, int fs) {
    const Corners c = corners();
    const double T = period(fs);
    const std::vector<double> a = referenceRunSection(mid, referenceShelvingSection(c.f1, c.f0, T));
    return referenceRunSection(a, referenceShelvingSection(c.f3, c.f2, T));
}

std::vector<double> referenceInverseFilterLateral(const std::vector<double>& distorted, int fs) {
    const Corners c = corners();
    const double T = period(fs);
    const std::vector<double> a =
        referenceRunSection(distorted, referenceShelvingSection(c.f0, c.f1, T));
    return referenceRunSection(a, referenceShelvingSection(c.f2, c.f3, T));
}
