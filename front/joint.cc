#include "front/joint.h"

namespace bilateral::front {

std::string joint_entry_name(Padding p, Rounding r) {
    return std::string("BilateralFilter_joint_") + padding_name(p) + (r == Rounding::nearest ? "_rounded" : "");
}

int call_joint(Padding p, Rounding r, halide_buffer_t *in, halide_buffer_t *guide, halide_buffer_t *weights,
               double window, double sigma, double pad, halide_buffer_t *out) {
    const bool round = r == Rounding::nearest;
    switch (p) {
        case Padding::constant:
            return round ? BilateralFilter_joint_constant_rounded(in, guide, weights, window, sigma, pad, out)
                         : BilateralFilter_joint_constant(in, guide, weights, window, sigma, pad, out);
        case Padding::replicate:
            return round ? BilateralFilter_joint_replicate_rounded(in, guide, weights, window, sigma, out)
                         : BilateralFilter_joint_replicate(in, guide, weights, window, sigma, out);
        case Padding::symmetric:
            break;
    }
    return round ? BilateralFilter_joint_symmetric_rounded(in, guide, weights, window, sigma, out)
                 : BilateralFilter_joint_symmetric(in, guide, weights, window, sigma, out);
}

int call_joint_checked(Padding p, Rounding r, halide_buffer_t *in, halide_buffer_t *guide, halide_buffer_t *weights,
                       double window, double sigma, double pad, halide_buffer_t *out) {
    const int fault =
        BilateralFilter_check_joint(joint_entry_name(p, r).c_str(), in, guide, weights, window, sigma, pad, out);
    return fault != 0 ? fault : call_joint(p, r, in, guide, weights, window, sigma, pad, out);
}

}  // namespace bilateral::front
