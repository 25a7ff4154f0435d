/*
 * bilateral_filter.h: edge-preserving smoothing of gray and RGB images.
 *
 * Each output sample is the weighted mean of the input samples in an N x N
 * window around it. The weight of window position (i, j) is the caller's
 * spatial weight W(i, j) times a range weight exp(-d^2 / (2 sigma^2)), where d
 * is the difference between the neighbour and the centre sample (for RGB, the
 * Euclidean distance over all input channels). The exponential is a fixed
 * single-precision approximation and every sum runs in a fixed order, so the
 * results are the same bits on every machine and for every thread count.
 *
 * Eighteen entry points: BilateralFilter_<layout>_<sample>_<padding>, and
 * twelve that round integer results instead of truncating them (below).
 *   layout   gray: 2-D buffers (x, y); RGB: 3-D buffers (x, y, channel),
 *            three output channels 0, 1, 2.
 *   sample   single: float32 samples; uint8 and uint16: 8- and 16-bit
 *            unsigned samples, converted exactly to float32, filtered, and
 *            converted back by truncation (not rounding), saturated to
 *            0..255 or 0..65535, NaN giving 0.
 *   padding  how window positions outside the input are read:
 *            constant  the pad value (uint8, uint16: the low 8 or 16 bits of
 *                      the pad value truncated toward zero, so 300 pads an
 *                      8-bit image with 44, 70000 a 16-bit one with 4464);
 *            replicate the nearest edge sample;
 *            symmetric a mirror image with the edge sample repeated.
 *
 * Arguments, in Halide's ahead-of-time calling convention:
 *   input        the image; x must be contiguous (dim[0].stride == 1; the
 *                _rounded entry points take any x stride but 0). Any
 *                position and any extent >= 1 in every dimension, up to a
 *                last position of INT32_MAX.
 *   weights      float32, 2-D, x contiguous; W(i, j) for 0 <= i, j < N is the
 *                element at absolute column i, row j, so the buffer must cover
 *                [0, N) x [0, N) (a bounds query asks exactly for that).
 *                Positions whose weight is +0 or -0 take no time wherever
 *                leaving them out cannot change a bit of the result: when no
 *                weight is negative or NaN, 2 sigma^2 is finite and above 0,
 *                and the samples (and pad value) are finite and not negative,
 *                as integer samples always are. So a disc or another sparse
 *                window costs only its non-zero positions.
 *   window_size  N, truncated toward zero. The window of output (x, y) covers
 *                input columns x - floor(N/2) ... and N positions; an even N
 *                reaches one position further left and up (N = 4 covers
 *                offsets -2 ... 1). N <= 0 gives NaN everywhere (integer
 *                samples: 0).
 *   sigma        range sigma, in sample units (0..255 for uint8 data,
 *                0..65535 for uint16). sigma = 0 gives NaN everywhere
 *                (integer samples: 0).
 *   pad_value    constant padding only.
 *   output       the result; same sample type as the input, x contiguous as
 *                for the input. RGB outputs must hold channels 0, 1 and 2.
 *                Input and output must not overlap.
 *
 * Returns 0 on every path. The entry points check nothing beyond what protects
 * memory: a non-query buffer without host memory, an input extent below 1, or
 * an RGB output lacking channel 0, 1 or 2 makes the call return 0 without
 * writing. Every other bad argument (a NULL descriptor, a dimension count,
 * sample type or x stride other than described, weights not covering
 * [0, N) x [0, N), overlapping input and output) is undefined behaviour. Call
 * BilateralFilter_check first: it reports each of these but the overlap.
 * NaN and infinite samples propagate to every output whose window reaches them.
 *
 * Bounds queries: a buffer with host == NULL and device == 0 is a query. The
 * call then writes into every query buffer the region, type and dense strides a
 * real call would need, filters nothing and returns 0. The input's answer is
 * clamped to the input descriptor's own mins and extents, so fill them with the
 * image's true shape before asking (a Halide extern stage reading from a Func,
 * which passes an empty input shape, is therefore not supported).
 *
 * Rounded results: the twelve BilateralFilter_<layout>_<uint8|uint16>_<padding>_rounded
 * take the same arguments and compute the same float32 quotient as the integer
 * entry point of that name without _rounded, then store it rounded to nearest,
 * ties to even, saturated to 0..255 or 0..65535, NaN giving 0 (so 2.5 gives 2,
 * 3.5 gives 4, 255.7 gives 255). That is, bit for bit, the float entry point's
 * result on the samples converted to float32 (in 0..255 or 0..65535 units,
 * padding with BilateralFilter_pad_sample of the integer name) rounded that
 * way. Unlike the eighteen they also take input and output buffers whose x
 * stride (dim[0].stride) is any value other than 0, negative included, so an
 * interleaved picture is filtered in place of a copy: an RGB or RGBA picture
 * with x stride 3 or 4 and channel stride 1 is described as three channels
 * (channels 0, 1, 2; every input channel enters the distance), and nothing
 * but those channels' samples is read or written, so alpha stays as it was.
 * Output samples must not overlap one another.
 *
 * Joint filtering: the six BilateralFilter_joint_<padding>[_rounded] take
 * their range weights from a second image, the guide, and average the
 * input's samples with them (below).
 *
 * Threads: work runs as tile tasks on the Halide runtime's thread pool; set
 * the thread count with HL_NUM_THREADS or halide_set_num_threads() before the
 * first call (the pool grows but never retires workers). Results do not
 * depend on the thread count. Calls on different output buffers may run
 * concurrently.
 */
#ifndef BILATERAL_FILTER_H
#define BILATERAL_FILTER_H

#include <HalideRuntime.h>

#if defined(BF_BUILDING_LIBRARY)
#define BF_EXPORT __attribute__((visibility("default")))
#else
#define BF_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** Gray float32, constant padding with pad_value. */
BF_EXPORT int BilateralFilter_gray_single_constant(halide_buffer_t *input, halide_buffer_t *weights,
                                                   double window_size, double sigma, double pad_value,
                                                   halide_buffer_t *output);
/** Gray float32, edge samples replicated. */
BF_EXPORT int BilateralFilter_gray_single_replicate(halide_buffer_t *input, halide_buffer_t *weights,
                                                    double window_size, double sigma,
                                                    halide_buffer_t *output);
/** Gray float32, mirrored with the edge sample repeated. */
BF_EXPORT int BilateralFilter_gray_single_symmetric(halide_buffer_t *input, halide_buffer_t *weights,
                                                    double window_size, double sigma,
                                                    halide_buffer_t *output);
/** Gray 8-bit, constant padding with the low eight bits of trunc(pad_value). */
BF_EXPORT int BilateralFilter_gray_uint8_constant(halide_buffer_t *input, halide_buffer_t *weights,
                                                  double window_size, double sigma, double pad_value,
                                                  halide_buffer_t *output);
/** Gray 8-bit, edge samples replicated. */
BF_EXPORT int BilateralFilter_gray_uint8_replicate(halide_buffer_t *input, halide_buffer_t *weights,
                                                   double window_size, double sigma,
                                                   halide_buffer_t *output);
/** Gray 8-bit, mirrored with the edge sample repeated. */
BF_EXPORT int BilateralFilter_gray_uint8_symmetric(halide_buffer_t *input, halide_buffer_t *weights,
                                                   double window_size, double sigma,
                                                   halide_buffer_t *output);
/** Gray 16-bit, constant padding with the low 16 bits of trunc(pad_value). */
BF_EXPORT int BilateralFilter_gray_uint16_constant(halide_buffer_t *input, halide_buffer_t *weights,
                                                   double window_size, double sigma, double pad_value,
                                                   halide_buffer_t *output);
/** Gray 16-bit, edge samples replicated. */
BF_EXPORT int BilateralFilter_gray_uint16_replicate(halide_buffer_t *input, halide_buffer_t *weights,
                                                    double window_size, double sigma,
                                                    halide_buffer_t *output);
/** Gray 16-bit, mirrored with the edge sample repeated. */
BF_EXPORT int BilateralFilter_gray_uint16_symmetric(halide_buffer_t *input, halide_buffer_t *weights,
                                                    double window_size, double sigma,
                                                    halide_buffer_t *output);
/** RGB float32, constant padding with pad_value in every channel. */
BF_EXPORT int BilateralFilter_RGB_single_constant(halide_buffer_t *input, halide_buffer_t *weights,
                                                  double window_size, double sigma, double pad_value,
                                                  halide_buffer_t *output);
/** RGB float32, edge samples replicated. */
BF_EXPORT int BilateralFilter_RGB_single_replicate(halide_buffer_t *input, halide_buffer_t *weights,
                                                   double window_size, double sigma,
                                                   halide_buffer_t *output);
/** RGB float32, mirrored with the edge sample repeated. */
BF_EXPORT int BilateralFilter_RGB_single_symmetric(halide_buffer_t *input, halide_buffer_t *weights,
                                                   double window_size, double sigma,
                                                   halide_buffer_t *output);
/** RGB 8-bit, constant padding with the low eight bits of trunc(pad_value). */
BF_EXPORT int BilateralFilter_RGB_uint8_constant(halide_buffer_t *input, halide_buffer_t *weights,
                                                 double window_size, double sigma, double pad_value,
                                                 halide_buffer_t *output);
/** RGB 8-bit, edge samples replicated. */
BF_EXPORT int BilateralFilter_RGB_uint8_replicate(halide_buffer_t *input, halide_buffer_t *weights,
                                                  double window_size, double sigma,
                                                  halide_buffer_t *output);
/** RGB 8-bit, mirrored with the edge sample repeated. */
BF_EXPORT int BilateralFilter_RGB_uint8_symmetric(halide_buffer_t *input, halide_buffer_t *weights,
                                                  double window_size, double sigma,
                                                  halide_buffer_t *output);
/** RGB 16-bit, constant padding with the low 16 bits of trunc(pad_value). */
BF_EXPORT int BilateralFilter_RGB_uint16_constant(halide_buffer_t *input, halide_buffer_t *weights,
                                                  double window_size, double sigma, double pad_value,
                                                  halide_buffer_t *output);
/** RGB 16-bit, edge samples replicated. */
BF_EXPORT int BilateralFilter_RGB_uint16_replicate(halide_buffer_t *input, halide_buffer_t *weights,
                                                   double window_size, double sigma,
                                                   halide_buffer_t *output);
/** RGB 16-bit, mirrored with the edge sample repeated. */
BF_EXPORT int BilateralFilter_RGB_uint16_symmetric(halide_buffer_t *input, halide_buffer_t *weights,
                                                   double window_size, double sigma,
                                                   halide_buffer_t *output);

/** Gray 8-bit, constant padding, results rounded to nearest (see above). */
BF_EXPORT int BilateralFilter_gray_uint8_constant_rounded(halide_buffer_t *input, halide_buffer_t *weights,
                                                          double window_size, double sigma, double pad_value,
                                                          halide_buffer_t *output);
/** Gray 8-bit, edge samples replicated, results rounded to nearest. */
BF_EXPORT int BilateralFilter_gray_uint8_replicate_rounded(halide_buffer_t *input, halide_buffer_t *weights,
                                                           double window_size, double sigma,
                                                           halide_buffer_t *output);
/** Gray 8-bit, mirrored with the edge sample repeated, results rounded to nearest. */
BF_EXPORT int BilateralFilter_gray_uint8_symmetric_rounded(halide_buffer_t *input, halide_buffer_t *weights,
                                                           double window_size, double sigma,
                                                           halide_buffer_t *output);
/** Gray 16-bit, constant padding, results rounded to nearest. */
BF_EXPORT int BilateralFilter_gray_uint16_constant_rounded(halide_buffer_t *input, halide_buffer_t *weights,
                                                           double window_size, double sigma, double pad_value,
                                                           halide_buffer_t *output);
/** Gray 16-bit, edge samples replicated, results rounded to nearest. */
BF_EXPORT int BilateralFilter_gray_uint16_replicate_rounded(halide_buffer_t *input, halide_buffer_t *weights,
                                                            double window_size, double sigma,
                                                            halide_buffer_t *output);
/** Gray 16-bit, mirrored with the edge sample repeated, results rounded to nearest. */
BF_EXPORT int BilateralFilter_gray_uint16_symmetric_rounded(halide_buffer_t *input, halide_buffer_t *weights,
                                                            double window_size, double sigma,
                                                            halide_buffer_t *output);
/** RGB 8-bit, constant padding, results rounded to nearest. */
BF_EXPORT int BilateralFilter_RGB_uint8_constant_rounded(halide_buffer_t *input, halide_buffer_t *weights,
                                                         double window_size, double sigma, double pad_value,
                                                         halide_buffer_t *output);
/** RGB 8-bit, edge samples replicated, results rounded to nearest. */
BF_EXPORT int BilateralFilter_RGB_uint8_replicate_rounded(halide_buffer_t *input, halide_buffer_t *weights,
                                                          double window_size, double sigma,
                                                          halide_buffer_t *output);
/** RGB 8-bit, mirrored with the edge sample repeated, results rounded to nearest. */
BF_EXPORT int BilateralFilter_RGB_uint8_symmetric_rounded(halide_buffer_t *input, halide_buffer_t *weights,
                                                          double window_size, double sigma,
                                                          halide_buffer_t *output);
/** RGB 16-bit, constant padding, results rounded to nearest. */
BF_EXPORT int BilateralFilter_RGB_uint16_constant_rounded(halide_buffer_t *input, halide_buffer_t *weights,
                                                          double window_size, double sigma, double pad_value,
                                                          halide_buffer_t *output);
/** RGB 16-bit, edge samples replicated, results rounded to nearest. */
BF_EXPORT int BilateralFilter_RGB_uint16_replicate_rounded(halide_buffer_t *input, halide_buffer_t *weights,
                                                           double window_size, double sigma,
                                                           halide_buffer_t *output);
/** RGB 16-bit, mirrored with the edge sample repeated, results rounded to nearest. */
BF_EXPORT int BilateralFilter_RGB_uint16_symmetric_rounded(halide_buffer_t *input, halide_buffer_t *weights,
                                                           double window_size, double sigma,
                                                           halide_buffer_t *output);

/*
 * Joint (cross) filtering: the range weight of a window position compares the
 * guide's samples at the centre and at the neighbour instead of the input's;
 * the output is the weighted mean of the input's samples. With the guide the
 * input itself, the result is that of the entry point of the input's layout
 * and sample type, bit for bit.
 *
 * Types and layouts come from the buffers. The input is float32, uint8 or
 * uint16, gray (2-D) or RGB (3-D); the output has the input's sample type and
 * dimension count, and the results follow the entry point of that name (an RGB
 * output holds channels 0, 1 and 2, output channel k averaging input channel k
 * as the padding rule reaches it). The guide is float32, uint8 or uint16, gray
 * (2-D) or RGB (3-D), whatever the input is. Every sample enters as float32 in
 * its own units, as for the entry points above.
 *
 * The guide is read at the input's coordinates and must cover the input's
 * region in x and y; it may be larger, but positions outside the input's
 * region are read through the padding rule of the input's region, for the
 * guide as for the input (the guide's own samples there are never read).
 * Constant padding pads each image with its own pad sample: pad_value by the
 * rule of its sample type (see BilateralFilter_pad_sample).
 *
 *   gray guide  per position: d = g(centre) - g(neighbour),
 *               w = exp((d * -d) / R) * W(i, j), sum = w + sum, and for each
 *               input channel k acc_k = fma(w, S_k(neighbour), acc_k);
 *               the output is acc_k / sum.
 *   RGB guide   per position: D = fma(d_c, d_c, D) over every guide channel in
 *               ascending order, e = exp(-D / R), sum = fma(e, W(i, j), sum),
 *               and for each input channel k
 *               num_k = fma(S_k(neighbour) * W(i, j), e, num_k); the output is
 *               num_k / sum.
 * with R = 2 sigma^2 as above, sigma in the guide's units (0..255 for a uint8
 * guide, whatever the input's type), exp the same approximation, positions in
 * window order. Positions whose weight is +0 or -0 take no time under the
 * conditions given for the weights above, the samples and pad samples of
 * both images finite and not negative.
 *
 * The six take input, guide and output of any x stride but 0, as the _rounded
 * entry points do (an interleaved photograph serves as a guide in place), and
 * store float results unchanged; integer results are truncated as by the
 * eighteen, or with _rounded rounded to nearest as by the twelve. Bounds
 * queries work as above for all four buffers, query descriptors carrying
 * their sample types (the call reads them): the guide is asked for the
 * input's region in x and y and for its own channel range (3-D), in its own
 * sample type. Unlike the others they report some faults, as Halide error
 * codes, before anything is read or written:
 *   halide_error_code_buffer_argument_is_null  a descriptor is NULL;
 *   halide_error_code_bad_dimensions           input or guide not 2-D or 3-D,
 *                                              an output whose dimension count
 *                                              is not the input's, weights not
 *                                              2-D, or a NULL dim array;
 *   halide_error_code_bad_type                 input or guide not float32,
 *                                              uint8 or uint16 (one lane), or
 *                                              an output type other than the
 *                                              input's;
 * then, on calls that are not queries and that the rules above do not refuse
 * (no host memory for any of the four, an input extent below 1, an RGB output
 * lacking channel 0, 1 or 2: 0, nothing written):
 *   halide_error_code_access_out_of_bounds     a guide whose x or y range does
 *                                              not hold the input's, or a 3-D
 *                                              guide without channels.
 * Otherwise 0. BilateralFilter_check_joint reports these and every fault
 * BilateralFilter_check reports for the others.
 */

/** Joint, constant padding: each image with its own pad sample of pad_value. */
BF_EXPORT int BilateralFilter_joint_constant(halide_buffer_t *input, halide_buffer_t *guide, halide_buffer_t *weights,
                                             double window_size, double sigma, double pad_value,
                                             halide_buffer_t *output);
/** Joint, edge samples of the input's region replicated. */
BF_EXPORT int BilateralFilter_joint_replicate(halide_buffer_t *input, halide_buffer_t *guide, halide_buffer_t *weights,
                                              double window_size, double sigma, halide_buffer_t *output);
/** Joint, mirrored at the input's region with the edge sample repeated. */
BF_EXPORT int BilateralFilter_joint_symmetric(halide_buffer_t *input, halide_buffer_t *guide, halide_buffer_t *weights,
                                              double window_size, double sigma, halide_buffer_t *output);
/** Joint, constant padding, integer results rounded to nearest. */
BF_EXPORT int BilateralFilter_joint_constant_rounded(halide_buffer_t *input, halide_buffer_t *guide,
                                                     halide_buffer_t *weights, double window_size, double sigma,
                                                     double pad_value, halide_buffer_t *output);
/** Joint, edge samples replicated, integer results rounded to nearest. */
BF_EXPORT int BilateralFilter_joint_replicate_rounded(halide_buffer_t *input, halide_buffer_t *guide,
                                                      halide_buffer_t *weights, double window_size, double sigma,
                                                      halide_buffer_t *output);
/** Joint, mirrored with the edge sample repeated, integer results rounded to nearest. */
BF_EXPORT int BilateralFilter_joint_symmetric_rounded(halide_buffer_t *input, halide_buffer_t *guide,
                                                      halide_buffer_t *weights, double window_size, double sigma,
                                                      halide_buffer_t *output);

/*
 * Helpers. Each names the entry point by its exported name, e.g.
 * "BilateralFilter_RGB_uint8_replicate" or
 * "BilateralFilter_RGB_uint8_replicate_rounded".
 */

/** Checks the arguments of a call of entry_point, without calling it or
 *  reading any memory but the descriptors. Returns 0 when the call is well
 *  defined, else the first fault found, in this order, as a Halide error code:
 *    halide_error_code_generic_error           entry_point names no entry point;
 *    halide_error_code_buffer_argument_is_null a descriptor is NULL;
 *    halide_error_code_bad_dimensions          input or output dimensions not 2
 *                                              (gray) or 3 (RGB), weights not
 *                                              2, or a NULL dim array;
 *  A call with a query descriptor (host NULL, device 0) only answers the
 *  query, so it is well defined from here on: 0. Otherwise, for each of input,
 *  weights and output:
 *    halide_error_code_host_is_null            host NULL (device memory only);
 *    halide_error_code_bad_type                input and output not the entry
 *                                              point's sample type (float32,
 *                                              uint8, uint16), weights not
 *                                              float32, or more than one lane;
 *    halide_error_code_constraint_violated     x stride (dim[0].stride) not 1
 *                                              (a _rounded entry point: 0);
 *    halide_error_code_buffer_extents_negative an extent below 0;
 *  then:
 *    halide_error_code_access_out_of_bounds    an input extent of 0, an RGB
 *                                              output without channels 0, 1
 *                                              and 2, or (N >= 1) weights whose
 *                                              mins are not <= 0 or whose
 *                                              min + extent is below N in x or y;
 *    halide_error_code_out_of_memory           one tile task would need more
 *                                              than 2^36 bytes (64 GiB) of
 *                                              scratch, as BilateralFilter_scratch_bytes
 *                                              counts it for one thread, or an
 *                                              amount that cannot be expressed
 *                                              (window_size 46341 and up).
 *  sigma and pad_value are never faults: every value, NaN and infinities
 *  included, gives the defined result. Nor is a window below 1 (NaN results).
 *  Overlap of input and output is not detected. */
BF_EXPORT int BilateralFilter_check(const char *entry_point, const halide_buffer_t *input,
                                    const halide_buffer_t *weights, double window_size, double sigma,
                                    double pad_value, const halide_buffer_t *output);

/** BilateralFilter_check for a call of a joint entry point (entry_point
 *  "BilateralFilter_joint_replicate", ...; BilateralFilter_check itself takes
 *  no joint name), with the input's dimension count and sample type standing
 *  for the name's layout and sample words, and the guide checked as the input
 *  is. In this order:
 *    halide_error_code_generic_error           entry_point names no joint entry point;
 *    halide_error_code_buffer_argument_is_null a descriptor is NULL;
 *    halide_error_code_bad_dimensions          input or guide not 2-D or 3-D,
 *                                              output not as the input, weights
 *                                              not 2-D, or a NULL dim array;
 *    halide_error_code_bad_type                input or guide not float32, uint8
 *                                              or uint16 (one lane), output not
 *                                              the input's type; queries too;
 *  a call with a query descriptor: 0. Otherwise, for each of input, guide,
 *  weights and output:
 *    halide_error_code_host_is_null            host NULL;
 *    halide_error_code_bad_type                weights not float32 (one lane);
 *    halide_error_code_constraint_violated     x stride 0 (weights: not 1);
 *    halide_error_code_buffer_extents_negative an extent below 0;
 *  then:
 *    halide_error_code_access_out_of_bounds    as for BilateralFilter_check, and
 *                                              a guide not covering the input's
 *                                              x and y ranges or, 3-D, without
 *                                              channels;
 *    halide_error_code_out_of_memory           as for BilateralFilter_check, the
 *                                              guide's staged planes counted
 *                                              (BilateralFilter_scratch_bytes_joint). */
BF_EXPORT int BilateralFilter_check_joint(const char *entry_point, const halide_buffer_t *input,
                                          const halide_buffer_t *guide, const halide_buffer_t *weights,
                                          double window_size, double sigma, double pad_value,
                                          const halide_buffer_t *output);

/** The sample value an entry point pads with for pad_value (constant padding):
 *  the float32 entry points use pad_value rounded to float32; the 8- and 16-bit
 *  ones truncate it toward zero, saturate that to the int32 range (NaN giving
 *  0) and keep its low 8 or 16 bits (300 gives 44 for 8-bit samples). Returns
 *  that value as a double, or NaN for a name that is not an entry point. Only
 *  the sample word of the name matters: a replicate or symmetric name gives
 *  the rule of its sample type. A joint entry point pads its input and its
 *  guide each by the rule of its own sample type: ask with the name of a plain
 *  entry point of that type (a joint name gives NaN). */
BF_EXPORT double BilateralFilter_pad_sample(const char *entry_point, double pad_value);

/** Working memory, in bytes, that a call of entry_point on these descriptors
 *  takes from halide_malloc at most, beyond the buffers themselves, when up to
 *  `threads` of its tile tasks run at once (threads < 1 counts as 1, and never
 *  more than the call has tasks): each running task's tap tables, staged
 *  samples and weight planes, as the vector kernels take them (the portable
 *  scalar kernels take less). Pieces of up to 16 KiB stay in the task's stack
 *  frame (64 KiB of it per task) and are not counted, so small calls take 0.
 *  Only the descriptors' shapes are read, never their memory; a call that the
 *  entry point refuses (an input extent below 1, an RGB output without
 *  channels 0, 1, 2) or with a window below 1 takes 0. Returns -1 for a name that is not an entry point, a NULL
 *  descriptor or one with fewer dimensions than the layout, or when a task's
 *  scratch could not even be expressed (the call would then write nothing).
 *  Saturates at INT64_MAX. */
BF_EXPORT int64_t BilateralFilter_scratch_bytes(const char *entry_point, const halide_buffer_t *input,
                                                double window_size, const halide_buffer_t *output,
                                                int threads);

/** BilateralFilter_scratch_bytes for a call of a joint entry point, whose
 *  scratch also holds the guide's staged channels (BilateralFilter_scratch_bytes
 *  itself takes no joint name: -1). The input's dimension count and sample type
 *  stand for the name's words; the guide's dimension count, sample type and
 *  channel extent are read. Returns -1 as BilateralFilter_scratch_bytes does, and
 *  for descriptors whose dimension counts or sample types the joint entry point
 *  reports (an output unlike the input included); a call it refuses, or whose
 *  guide does not cover the input, takes 0. */
BF_EXPORT int64_t BilateralFilter_scratch_bytes_joint(const char *entry_point, const halide_buffer_t *input,
                                                      const halide_buffer_t *guide, double window_size,
                                                      const halide_buffer_t *output, int threads);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // BILATERAL_FILTER_H
