// The commands' loops over the elements present (frame/Present.h) against
// the workers on the zero-filled block they replace, bit for bit: each
// command x (dense, sparse, huge count, missing array), over operands that
// reach the corner cases of the closed forms (-0.0, infinities, NaN,
// powers that underflow or overflow, sums that stop changing).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "TclFixture.h"
#include "frame/Present.h"

namespace {

using kardum::PresentValues;

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

std::uint64_t Bits(double v)
{
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// One input array: its count and the elements present.
struct Shape {
    const char *name;
    int len;
    PresentValues present;
};

// The zero-filled block the plain path reads.
std::vector<double> Dense(const Shape &shape)
{
    std::vector<double> block(static_cast<std::size_t>(shape.len), 0.0);
    for (const auto &element : shape.present) {
        block[static_cast<std::size_t>(element.first)] = element.second;
    }
    return block;
}

PresentValues Scatter(const std::vector<int> &indices, std::initializer_list<double> values)
{
    PresentValues out;
    auto v = values.begin();
    for (int i : indices) {
        out.emplace_back(i, *v);
        if (++v == values.end()) {
            v = values.begin();
        }
    }
    return out;
}

// dense: every place present; sparse and huge: a few scattered elements,
// specials among them; missing: none; and -0.0 alone, which the first
// +0.0 added turns into +0.0.
std::vector<Shape> Shapes(std::initializer_list<double> values)
{
    std::vector<Shape> shapes;
    Shape dense{"dense", 40, {}};
    auto v = values.begin();
    for (int i = 0; i < 40; ++i) {
        dense.present.emplace_back(i, *v);
        if (++v == values.end()) {
            v = values.begin();
        }
    }
    shapes.push_back(dense);
    shapes.push_back({"sparse", 100003, Scatter({0, 1, 5, 17, 300, 999, 1000, 40000, 100002}, values)});
    shapes.push_back({"huge", 1 << 21, Scatter({3, 4, 1000, 65536, 2000000, (1 << 21) - 1}, values)});
    shapes.push_back({"missing", 5000, {}});
    shapes.push_back({"lone -0.0", 1000, {{0, -0.0}}});
    return shapes;
}

const std::initializer_list<double> kValues = {1.5, -0.0, -2.25, 3e300, 1e-310, 0.0, -7.0, 0.125};
const std::initializer_list<double> kSpecials = {-0.0, kInf, 2.0, -kInf, -1e-300, 5.0};

class Present : public TclFixture {};

TEST_F(Present, ArrayReductionsMatchTheWorker)
{
    kardum::Interrupt stop(interp);
    for (auto values : {kValues, kSpecials}) {
        for (const Shape &shape : Shapes(values)) {
            std::vector<double> a1 = Dense(shape);
            for (char op : {'S', 'A', 'V'}) {
                for (double mean : {0.0, -0.0, 0.1, 1e-200, 3e200, 1.0 / 3.0, kInf}) {
                    for (int step : {1, 3, 1000}) {
                        double plain = ArrayMath_C(a1.data(), op, &mean, nullptr, shape.len,
                                                   step, 0, 1);
                        double fast = kardum::ArrayReducePresent(shape.present, shape.len, op,
                                                                 mean, step, stop);
                        EXPECT_EQ(Bits(fast), Bits(plain))
                            << shape.name << " " << op << " mean " << mean << " step " << step;
                    }
                }
            }
        }
    }
}

TEST_F(Present, ExtremaMatchTheWorker)
{
    for (auto values : {kValues, kSpecials}) {
        for (const Shape &shape : Shapes(values)) {
            std::vector<double> v = Dense(shape);
            for (char cond : {'<', '>', 'G', 'x'}) {
                for (auto window : {std::pair{-9e30, 9e30}, std::pair{-1.0, 0.0},
                                    std::pair{0.0, 1.0}, std::pair{-0.0, 1e-300},
                                    std::pair{-kInf, kInf}}) {
                    for (int step : {1, 2, 7}) {
                        int plainMin, plainMax, fastMin, fastMax;
                        DataMxMn_C(v.data(), shape.len, cond, window.first, window.second,
                                   step, &plainMin, &plainMax);
                        kardum::DataMxMnPresent(shape.present, shape.len, cond, window.first,
                                                window.second, step, &fastMin, &fastMax);
                        EXPECT_EQ(fastMin, plainMin) << shape.name << cond << step;
                        EXPECT_EQ(fastMax, plainMax) << shape.name << cond << step;
                    }
                }
            }
        }
    }
}

TEST_F(Present, OneDimensionalPolynomialsMatchTheWorker)
{
    kardum::Interrupt stop(interp);
    double limits[2] = {1e10, -1e10};
    for (auto values : {kValues, kSpecials}) {
        for (const Shape &shape : Shapes(values)) {
            std::vector<double> coef = Dense(shape);
            for (double x : {0.5, -0.5, 1.0, -1.0, 2.0, -2.0, 0.999, 1.0001, -1.0001, 0.0,
                             -0.0, 1e-300, kInf, -kInf, kNaN}) {
                for (int clamp : {0, 1}) {
                    double plain = PolyExp1D_C(x, shape.len, coef.data(), clamp, limits);
                    double fast = kardum::PolyExp1DPresent(x, shape.len, shape.present, clamp,
                                                           limits, stop);
                    EXPECT_EQ(Bits(fast), Bits(plain)) << shape.name << " x " << x;
                }
            }
        }
    }
}

TEST_F(Present, TwoDimensionalPolynomialsMatchTheWorker)
{
    kardum::Interrupt stop(interp);
    struct Case {
        const char *name;
        int degree;
        std::vector<int> indices;
    };
    // nCoef = (d + 1)(d + 2) / 2: 1, 861, 20301, 2,100,225 and 496 places.
    for (const Case &c : {Case{"one", 0, {0}}, Case{"dense", 40, {}},
                          Case{"sparse", 200, {0, 2, 7, 100, 20000, 20300}},
                          Case{"huge", 2048, {1, 4, 6000, 1000000, 2100224}},
                          Case{"missing", 30, {}}}) {
        int n = static_cast<int>((c.degree + 1LL) * (c.degree + 2) / 2);
        PresentValues present;
        if (std::string(c.name) == "dense") {
            for (int k = 0; k < n; ++k) {
                present.emplace_back(k, std::ldexp(1.0 + k % 5, k % 11 - 5) * (k % 3 ? 1 : -1));
            }
        } else {
            present = Scatter(c.indices, kSpecials);
        }
        std::vector<double> coef(static_cast<std::size_t>(n), 0.0);
        for (const auto &element : present) {
            coef[static_cast<std::size_t>(element.first)] = element.second;
        }
        for (auto xy : {std::pair{0.5, 0.25}, std::pair{-1.0, 1.0}, std::pair{1.0, -1.0},
                        std::pair{0.3, -0.9}, std::pair{2.0, 0.5}, std::pair{-1.5, 1.1},
                        std::pair{0.0, -0.0}, std::pair{kNaN, 0.1}, std::pair{0.1, kInf}}) {
            double plain = PolyExp2D_C(xy.first, xy.second, n, coef.data(), c.degree, 0, nullptr);
            double fast = kardum::PolyExp2DPresent(xy.first, xy.second, n, present, c.degree, 0,
                                                   nullptr, stop);
            EXPECT_EQ(Bits(fast), Bits(plain)) << c.name << " " << xy.first << " " << xy.second;
        }
    }
}

TEST_F(Present, DotProductAndMagnitudeMatchTheWorker)
{
    for (const Shape &x : Shapes(kValues)) {
        for (const Shape &y : Shapes(kSpecials)) {
            if (y.len < x.len) {
                continue;               // the dot product needs V2Len >= V1Len
            }
            std::vector<double> xs = Dense(x), ys = Dense(y);
            ys.resize(xs.size() > ys.size() ? xs.size() : ys.size(), 0.0);
            double plain = VecMath_C(xs.data(), 'D', ys.data(), nullptr, x.len, y.len, 0);
            EXPECT_EQ(Bits(kardum::VecDotPresent(x.present, y.present, x.len)), Bits(plain))
                << x.name << " . " << y.name;
        }
        std::vector<double> xs = Dense(x);
        double plain = VecMath_C(xs.data(), 'M', xs.data(), nullptr, x.len, x.len, 0);
        EXPECT_EQ(Bits(kardum::VecMagnitudePresent(x.present)), Bits(plain)) << x.name;
    }
}

// The variance's run of absent places adds one term again and again;
// RepeatAdd takes the stretches within a binade at once.  Against the
// plain loop: ties (c half a unit of s), subnormals, sums that stop
// growing, and operands of every other kind.
TEST_F(Present, RepeatedAdditionMatchesTheLoop)
{
    kardum::Interrupt stop(interp);
    const double tiny = std::numeric_limits<double>::denorm_min();
    struct Case {
        double s, c;
        long long count;
    };
    for (const Case &k : {Case{0.0, 0.1, 3000000}, Case{0.0, 1.0 / 3.0, 5000000},
                          Case{1.0, 0x1p-53, 1000}, Case{1.0, 0x1p-52, 1000},
                          Case{1.0, 3 * 0x1p-53, 1000000}, Case{0x1p52, 0.5, 10000},
                          Case{0x1p53, 1.0, 10000}, Case{0.0, tiny, 4000000},
                          Case{tiny, 3 * tiny, 1000000}, Case{0.0, 0.25, 7},
                          Case{-5.0, 0.7, 100000}, Case{1e300, 1e299, 10000},
                          Case{0.0, kInf, 5}, Case{kNaN, 1.0, 5}, Case{-0.0, 0.0, 3},
                          Case{2.0, -0.3, 100000}, Case{0.0, 6.103515625e-05, 2000000}}) {
        double plain = k.s;
        for (long long i = 0; i < k.count; ++i) {
            plain = plain + k.c;
        }
        EXPECT_EQ(Bits(kardum::RepeatAdd(k.s, k.c, k.count, stop)), Bits(plain))
            << k.s << " + " << k.c << " x " << k.count;
    }
}

} // namespace
