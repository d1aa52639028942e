/*
 * IntegrateCmd.cpp --
 *
 *	::kardum::quad::Run, the engine of kardum::integrate (lib/integrate.tcl
 *	checks the words and words the answer).  It computes every node,
 *	weight and sum itself and calls the integrand in the current frame
 *	(the script runs it through `uplevel 1`, so that is the caller's).
 *
 *	::kardum::quad::Run prefix a b points method tol abstol minLevel
 *	                    maxLevel vector distance maxEvals
 *
 *	a < b, either may be infinite; points: sorted breakpoints strictly
 *	inside (a, b); method 0 double-exponential, 1 Romberg.  Returns the
 *	list {estimate error evaluations levels pieces met}.  An error of the
 *	integrand comes back as it is (a cancel or a limit included); an
 *	answer that is not a finite number is a KARDUM VALUE error.
 *
 *	The double-exponential rule.  The range between two breakpoints (a
 *	"piece") is mapped onto t in [-R, R] so that the integrand decays
 *	double-exponentially in t; level n sums the trapezoid rule in t with
 *	step 2^(1-n).  The nodes next to a finite end are placed by their
 *	distance from it (computed from t, never by subtracting rounded
 *	abscissae), down to the smallest normal double, so a singular end is
 *	reached as far as the doubles allow.  A piece is accepted at level n
 *	when n is at least the minimum level and the last two levels agree
 *	within its share of the tolerance; the error it reports is that change
 *	plus what lies beyond its outermost nodes plus the rounding of the sum.
 *	A piece that does not converge (or stalls) reports twice its last
 *	change.  Then, globally adaptive: while the summed errors exceed the
 *	tolerance, the piece with the largest error is halved (an infinite
 *	piece loses a finite part) and both halves are integrated anew.
 *
 *	Romberg: trapezoid stages in x and their Richardson table; a result the
 *	table accepts is checked against composite five-point Gauss-Legendre
 *	on nodes off the dyadic lattice (an integrand that the equal steps
 *	alias disagrees there), and the stages go on while they differ.
 */

#include "package/Commands.h"
#include "frame/Frame.h"
#include "frame/Interrupt.h"
#include "frame/ObjRef.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <vector>

namespace kardum::package {

namespace {

constexpr double kHalfPi = 1.5707963267948966;
constexpr double kEps = DBL_EPSILON;
/* Rounding floor of a sum, relative to the sum of the magnitudes of its
 * terms: the terms' own rounding (each a few ulp) and the additions. */
constexpr double kFloor = 100.0 * kEps;

/* One evaluation point: abscissa, signed distance to the nearest limit or
 * breakpoint, and, once evaluated, the value. */
struct Point {
    double x;
    double d;
};

/* Calls the integrand and checks its answers. */
class Integrand {
public:
    Integrand(Tcl_Interp *interp, Tcl_Obj *prefix, bool vector, bool distance, double a,
              double b)
        : interp_(interp), stop_(interp), vector_(vector), distance_(distance),
          prefix_(prefix), a_(a), b_(b)
    {
        Tcl_Size n = 0;
        Tcl_Obj **elements = nullptr;
        if (Tcl_ListObjGetElements(interp, prefix, &n, &elements) != TCL_OK) {
            throw TclError{};
        }
        for (Tcl_Size i = 0; i < n; ++i) {
            words_.emplace_back(elements[i]);
        }
    }

    long long Evaluations() const { return evaluations_; }

    /* Values at the points; false with the error left in the interpreter. */
    bool Eval(const std::vector<Point> &points, std::vector<double> &values)
    {
        values.assign(points.size(), 0.0);
        if (points.empty()) {
            return true;
        }
        evaluations_ += static_cast<long long>(points.size());
        if (!vector_) {
            for (std::size_t i = 0; i < points.size(); ++i) {
                ObjRef x(Tcl_NewDoubleObj(points[i].x));
                ObjRef d(distance_ ? Tcl_NewDoubleObj(points[i].d) : nullptr);
                if (!Call(x.get(), d.get())) {
                    return false;
                }
                if (!Number(Tcl_GetObjResult(interp_), points[i].x, values[i])) {
                    return false;
                }
            }
            Tcl_ResetResult(interp_);
            return true;
        }
        ObjRef xs(Tcl_NewListObj(0, nullptr));
        ObjRef ds(distance_ ? Tcl_NewListObj(0, nullptr) : nullptr);
        for (const Point &p : points) {
            Tcl_ListObjAppendElement(nullptr, xs.get(), Tcl_NewDoubleObj(p.x));
            if (distance_) {
                Tcl_ListObjAppendElement(nullptr, ds.get(), Tcl_NewDoubleObj(p.d));
            }
        }
        if (!Call(xs.get(), ds.get())) {
            return false;
        }
        ObjRef answer(Tcl_GetObjResult(interp_));
        Tcl_Size n = 0;
        Tcl_Obj **elements = nullptr;
        if (Tcl_ListObjGetElements(nullptr, answer.get(), &n, &elements) != TCL_OK ||
            static_cast<std::size_t>(n) != points.size()) {
            std::string message = "kardum::integrate: the integrand returned ";
            if (Tcl_ListObjLength(nullptr, answer.get(), &n) == TCL_OK) {
                AppendFormat(message, "%lld values", static_cast<long long>(n));
            } else {
                message += "no list of values";
            }
            AppendFormat(message, " for %zu %s", points.size(),
                         points.size() == 1 ? "abscissa" : "abscissae");
            return Value(message);
        }
        for (std::size_t i = 0; i < points.size(); ++i) {
            if (!Number(elements[i], points[i].x, values[i])) {
                return false;
            }
        }
        Tcl_ResetResult(interp_);
        return true;
    }

    /* A failure of the integration itself: KARDUM VALUE naming the range. */
    bool Fail(const char *what)
    {
        ObjRef lo(Tcl_NewDoubleObj(a_));
        ObjRef hi(Tcl_NewDoubleObj(b_));
        std::string message = "kardum::integrate: ";
        message += what;
        message += " on [";
        message += Tcl_GetString(lo.get());
        message += ", ";
        message += Tcl_GetString(hi.get());
        message += "]";
        return Value(message);
    }

private:
    bool Call(Tcl_Obj *x, Tcl_Obj *d)
    {
        objv_.clear();
        for (const ObjRef &w : words_) {
            objv_.push_back(w.get());
        }
        objv_.push_back(x);
        if (d) {
            objv_.push_back(d);
        }
        int code = Tcl_EvalObjv(interp_, static_cast<Tcl_Size>(objv_.size()), objv_.data(), 0);
        if (stop_.After(code)) {
            return false;
        }
        if (code == TCL_OK || code == TCL_RETURN) {
            return true;
        }
        if (code == TCL_ERROR) {
            return false;
        }
        std::string message = Tcl_GetString(prefix_);
        if (code == TCL_BREAK) {
            message += " ended with break, not with a result";
        } else if (code == TCL_CONTINUE) {
            message += " ended with continue, not with a result";
        } else {
            AppendFormat(message, " ended with code %d, not with a result", code);
        }
        return Value(message);
    }

    bool Number(Tcl_Obj *answer, double x, double &value)
    {
        double v = 0.0;
        if (Tcl_GetDoubleFromObj(nullptr, answer, &v) != TCL_OK || std::isnan(v)) {
            ObjRef keep(answer);
            ObjRef at(Tcl_NewDoubleObj(x));
            std::string message = "kardum::integrate: the integrand returned \"";
            message += Tcl_GetString(answer);
            message += "\" at x = ";
            message += Tcl_GetString(at.get());
            message += ", not a number";
            return Value(message);
        }
        if (std::isinf(v)) {
            ObjRef at(Tcl_NewDoubleObj(x));
            ObjRef lo(Tcl_NewDoubleObj(a_));
            ObjRef hi(Tcl_NewDoubleObj(b_));
            std::string message = "kardum::integrate: the integrand is not finite on [";
            message += Tcl_GetString(lo.get());
            message += ", ";
            message += Tcl_GetString(hi.get());
            message += "] (";
            message += v > 0 ? "Inf" : "-Inf";
            message += " at x = ";
            message += Tcl_GetString(at.get());
            message += ")";
            return Value(message);
        }
        value = v;
        return true;
    }

    bool Value(const std::string &message)
    {
        Tcl_SetObjResult(interp_, Tcl_NewStringObj(message.c_str(), -1));
        Tcl_SetErrorCode(interp_, "KARDUM", "VALUE", nullptr);
        return false;
    }

    Tcl_Interp *interp_;
    Interrupt stop_;
    bool vector_;
    bool distance_;
    Tcl_Obj *prefix_;
    double a_, b_;
    std::vector<ObjRef> words_;
    std::vector<Tcl_Obj *> objv_; /* the words of one call */
    long long evaluations_ = 0;
};

/* --- The double-exponential rule on one piece ---------------------------- */

/* Map of a piece: 0 finite, 1 [a, inf), 2 (-inf, b], 3 the whole line. */
struct Piece {
    double a, b;     /* the piece */
    double lo, hi;   /* the nearest limits or breakpoints around it */
    int kind;
    double share;    /* its part of the tolerance */
    double first;    /* the share of the pieces the breakpoints make */
    double estimate = 0.0, error = 0.0, l1 = 0.0;
    double floor = 0.0; /* the rounding of its sum, part of error */
    int levels = 0;
    bool converged = false;
};

struct Node {
    double t, x, d, w;
    double gap; /* distance from the piece's own end the node is placed from */
};

/* The gap between |v| and the next double up.  Without the distance, a
 * node closer to an end than 16 of these has an abscissa whose
 * rounding changes the integrand's value there, and is not evaluated: its
 * part of the integral is then in the error, as what lies beyond the
 * outermost node. */
double Spacing(double v)
{
    double m = std::fabs(v);
    return std::nextafter(m, HUGE_VAL) - m;
}

/* Node at t of the piece's map; false when it lies beyond the doubles. */
bool MakeNode(const Piece &p, double t, bool distance, Node &node)
{
    double v = kHalfPi * std::sinh(t);
    node.t = t;
    if (p.kind == 0) {
        double e = std::exp(-2.0 * std::fabs(v));
        double width = p.b - p.a;
        double gap = width * e / (1.0 + e);
        if (!(gap >= DBL_MIN)) {
            return false;
        }
        node.x = t < 0 ? p.a + gap : p.b - gap;
        node.gap = gap;
        if (!distance && gap < 16.0 * Spacing(t < 0 ? p.a : p.b)) {
            return false;
        }
        node.w = width * (kHalfPi * std::cosh(t) * 2.0 * e / ((1.0 + e) * (1.0 + e)));
        /* Distance: exact from the end the node was placed from when that
         * end is a limit or breakpoint, else computed. */
        double dLo = (t < 0 && p.a == p.lo) ? gap : node.x - p.lo;
        double dHi = (t >= 0 && p.b == p.hi) ? -gap : node.x - p.hi;
        node.d = std::fabs(dLo) <= std::fabs(dHi) ? dLo : dHi;
        return true;
    }
    if (p.kind == 3) {
        if (std::fabs(v) > 700.0) {
            return false;
        }
        node.x = std::sinh(v);
        node.w = kHalfPi * std::cosh(t) * std::cosh(v);
        node.d = node.x;
        node.gap = std::fabs(node.x);
        return true;
    }
    if (v > 700.0) {
        return false;
    }
    double e = std::exp(v);
    if (!(e >= DBL_MIN)) {
        return false;
    }
    node.w = kHalfPi * std::cosh(t) * e;
    node.gap = e;
    if (p.kind == 1) {
        node.x = p.a + e;
        double dLo = p.a == p.lo ? e : node.x - p.lo;
        double dHi = node.x - p.hi;
        node.d = std::fabs(dLo) <= std::fabs(dHi) ? dLo : dHi;
    } else {
        node.x = p.b - e;
        double dHi = p.b == p.hi ? -e : node.x - p.hi;
        double dLo = node.x - p.lo;
        node.d = std::fabs(dLo) < std::fabs(dHi) ? dLo : dHi;
    }
    if (!distance && e < 16.0 * Spacing(p.kind == 1 ? p.a : p.b)) {
        return false;
    }
    return std::isfinite(node.x);
}

struct Settings {
    double tol, abstol;
    int minLevel, maxLevel;
    bool distance;
    long long maxEvals;
};

struct Evaluated {
    double t, f, gap, g;
};

/* Integrates one piece, wanting an error within `wanted`; false when the
 * integrand failed. */
bool RunPiece(Integrand &f, const Settings &s, Piece &p, double wanted)
{
    /* The minimum level holds for the pieces the user's range and
     * breakpoints make; halves of them have been sampled already. */
    const int minLevel = p.share < p.first ? std::min(s.minLevel, 3) : s.minLevel;
    /* |t| of the outermost nodes: a finite end is then approached to the
     * smallest normal double, an infinite one to about 1e300. */
    const double reach = p.kind == 0 ? 6.5 : 6.8;
    double limit[2] = {reach, reach}; /* left, right */
    std::vector<Evaluated> seen;
    std::vector<Node> nodes;
    std::vector<Point> points;
    std::vector<double> values;
    double sumG = 0.0, sumAbs = 0.0, previous = 0.0, change = 0.0, lastChange = 0.0;
    double tail = 0.0;
    for (int n = 1; n <= s.maxLevel; ++n) {
        double h = std::ldexp(1.0, 1 - n);
        /* A level that would pass the budget is not begun. */
        double fresh = (limit[0] + limit[1]) / h / (n == 1 ? 1.0 : 2.0) + 1.0;
        if (n > 1 && static_cast<double>(f.Evaluations()) + fresh > static_cast<double>(s.maxEvals)) {
            break;
        }
        nodes.clear();
        points.clear();
        long long kLo = -static_cast<long long>(std::floor(limit[0] / h));
        long long kHi = static_cast<long long>(std::floor(limit[1] / h));
        for (long long k = kLo; k <= kHi; ++k) {
            if (n > 1 && k % 2 == 0) {
                continue;
            }
            double t = static_cast<double>(k) * h;
            if ((t < 0 && -t > limit[0]) || (t > 0 && t > limit[1])) {
                continue;
            }
            Node node;
            if (MakeNode(p, t, s.distance, node)) {
                nodes.push_back(node);
                points.push_back({node.x, node.d});
            }
        }
        if (!f.Eval(points, values)) {
            return false;
        }
        double maxG = 0.0;
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            double g = values[i] * nodes[i].w;
            sumG += g;
            sumAbs += std::fabs(g);
            seen.push_back({nodes[i].t, values[i], nodes[i].gap, g});
        }
        for (const Evaluated &e : seen) {
            maxG = std::max(maxG, std::fabs(e.g));
        }
        double estimate = h * sumG;
        p.l1 = h * sumAbs;
        lastChange = change;
        change = std::fabs(estimate - previous);
        previous = estimate;
        p.estimate = estimate;
        p.levels = n;
        /* What lies beyond the outermost nodes on each side: their term and,
         * next to a finite end, the integral of a singularity as strong as
         * x^-0.95 that has the outermost value. */
        tail = 0.0;
        for (int side = 0; side < 2; ++side) {
            const Evaluated *outer = nullptr, *inner = nullptr;
            for (const Evaluated &e : seen) {
                bool mine = side == 0 ? e.t < 0 : e.t > 0;
                if (mine && (!outer || std::fabs(e.t) > std::fabs(outer->t))) {
                    inner = outer;
                    outer = &e;
                } else if (mine && (!inner || std::fabs(e.t) > std::fabs(inner->t))) {
                    inner = &e;
                }
            }
            if (outer) {
                tail += h * std::fabs(outer->g);
                bool finiteEnd = p.kind == 0 || (p.kind == 1 && side == 0) ||
                                 (p.kind == 2 && side == 1);
                /* A value that grows toward the end is taken for a
                 * singularity up to x^-0.95 (its integral from the end is
                 * 20 x f), a bounded one for at most f x. */
                bool growing = inner && std::fabs(outer->f) > 1.5 * std::fabs(inner->f);
                double reachX = finiteEnd ? outer->gap : 0.0;
                tail += (growing ? 20.0 : 1.0) * std::fabs(outer->f) * reachX;
            }
        }
        double floor = kFloor * p.l1;
        p.floor = floor;
        p.error = change + tail + floor;
        double want = wanted >= 0.0 ? wanted
                                    : p.share * std::max(s.tol * std::fabs(estimate), s.abstol);
        if (n >= minLevel && n >= 2 && change + tail <= std::max(want, 2.0 * floor)) {
            p.converged = true;
            return true;
        }
        /* Past the minimum level a piece whose changes no longer shrink
         * fast is left to subdivision. */
        if (n >= std::max(minLevel, 5) && change > 0.25 * lastChange) {
            break;
        }
        /* Later levels skip the nodes on each side beyond the last one
         * whose term is not negligible. */
        if (n >= 3 && maxG > 0.0) {
            for (int side = 0; side < 2; ++side) {
                double outer = 0.0;
                for (const Evaluated &e : seen) {
                    bool mine = side == 0 ? e.t < 0 : e.t > 0;
                    if (mine && std::fabs(e.g) > 1e-20 * maxG) {
                        outer = std::max(outer, std::fabs(e.t));
                    }
                }
                limit[side] = std::min(limit[side], outer + h);
            }
        }
    }
    p.converged = false;
    p.floor = kFloor * p.l1;
    p.error = 2.0 * change + tail + p.floor;
    return true;
}

struct Outcome {
    double estimate = 0.0, error = 0.0;
    int levels = 0, pieces = 0;
    bool met = false;
};

bool DoubleExponential(Integrand &f, const Settings &s, double a, double b,
                       const std::vector<double> &breaks, Outcome &out)
{
    std::vector<double> ends{a};
    ends.insert(ends.end(), breaks.begin(), breaks.end());
    ends.push_back(b);
    std::vector<Piece> pieces;
    double share = 1.0 / static_cast<double>(ends.size() - 1);
    for (std::size_t i = 0; i + 1 < ends.size(); ++i) {
        double lo = ends[i], hi = ends[i + 1];
        int kind = std::isinf(lo) ? (std::isinf(hi) ? 3 : 2) : (std::isinf(hi) ? 1 : 0);
        if (kind == 0 && std::isinf(hi - lo)) {
            /* Wider than the doubles reach: two halves, each measured from
             * the limits around them. */
            double mid = 0.5 * lo + 0.5 * hi;
            pieces.push_back({lo, mid, lo, hi, 0, 0.5 * share, 0.5 * share});
            pieces.push_back({mid, hi, lo, hi, 0, 0.5 * share, 0.5 * share});
            continue;
        }
        pieces.push_back({lo, hi, lo, hi, kind, share, share});
    }
    for (Piece &p : pieces) {
        /* Before the total is known, each piece is held to its own size. */
        if (!RunPiece(f, s, p, -1.0)) {
            return false;
        }
        out.levels = std::max(out.levels, p.levels);
    }
    /* Pieces that cannot be halved any more are left as they are. */
    std::vector<bool> final(pieces.size(), false);
    for (;;) {
        double total = 0.0, error = 0.0, floor = 0.0;
        for (const Piece &p : pieces) {
            total += p.estimate;
            error += p.error;
            floor += p.floor;
        }
        out.estimate = total;
        out.error = error;
        out.pieces = static_cast<int>(pieces.size());
        if (!std::isfinite(total) || !std::isfinite(error)) {
            return f.Fail("the sum is not finite in double precision (the range times the"
                          " integrand exceeds the doubles)");
        }
        double target = std::max(s.tol * std::fabs(total), s.abstol);
        bool all = std::all_of(pieces.begin(), pieces.end(), [&](const Piece &p) {
            return p.levels >= std::min(s.minLevel, p.share < p.first ? 3 : s.minLevel);
        });
        /* The rounding of the sums bounds what a tolerance can ask: two sums
         * that agree to it agree as far as they can. */
        if (all && error - floor <= std::max(target, 2.0 * floor)) {
            out.met = true;
            return true;
        }
        if (f.Evaluations() >= s.maxEvals) {
            return true;
        }
        std::size_t worst = pieces.size();
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            if (!final[i] && (worst == pieces.size() || pieces[i].error > pieces[worst].error)) {
                worst = i;
            }
        }
        if (worst == pieces.size()) {
            return true;
        }
        Piece p = pieces[worst];
        double mid;
        if (p.kind == 0) {
            mid = p.a + 0.5 * (p.b - p.a);
        } else if (p.kind == 1) {
            mid = p.a + std::max(1.0, std::fabs(p.a));
        } else if (p.kind == 2) {
            mid = p.b - std::max(1.0, std::fabs(p.b));
        } else {
            mid = 0.0;
        }
        /* A piece a few thousand doubles wide is not halved again: its
         * nodes would be too close to its ends.  It can no longer improve,
         * so its error is its whole size. */
        if (!(mid > p.a && mid < p.b) || !std::isfinite(mid) ||
            (p.kind == 0 &&
             p.b - p.a < 65536.0 * Spacing(std::max(std::fabs(p.a), std::fabs(p.b))))) {
            final[worst] = true;
            pieces[worst].error = std::max(p.error, p.l1);
            continue;
        }
        Piece left = p, right = p;
        left.b = mid;
        right.a = mid;
        left.kind = std::isinf(left.a) ? 2 : 0;
        right.kind = std::isinf(right.b) ? 1 : 0;
        left.share = right.share = 0.5 * p.share;
        left.converged = right.converged = false;
        double wanted = target * left.share;
        if (!RunPiece(f, s, left, wanted) || !RunPiece(f, s, right, wanted)) {
            return false;
        }
        out.levels = std::max({out.levels, left.levels, right.levels});
        pieces[worst] = left;
        pieces.insert(pieces.begin() + static_cast<std::ptrdiff_t>(worst) + 1, right);
        final.insert(final.begin() + static_cast<std::ptrdiff_t>(worst) + 1, false);
    }
}

/* --- Romberg ---------------------------------------------------------------- */

/* Composite five-point Gauss-Legendre over `panels` equal panels. */
bool GaussCheck(Integrand &f, double a, double b, long long panels, double &sum)
{
    static const double kX[5] = {-0.9061798459386640, -0.5384693101056831, 0.0,
                                 0.5384693101056831, 0.9061798459386640};
    static const double kW[5] = {0.2369268850561891, 0.4786286704993665,
                                 0.5688888888888889, 0.4786286704993665,
                                 0.2369268850561891};
    std::vector<Point> points;
    double width = (b - a) / static_cast<double>(panels);
    for (long long i = 0; i < panels; ++i) {
        double centre = a + (static_cast<double>(i) + 0.5) * width;
        for (int j = 0; j < 5; ++j) {
            double x = centre + 0.5 * width * kX[j];
            double dA = x - a, dB = x - b;
            points.push_back({x, std::fabs(dA) <= std::fabs(dB) ? dA : dB});
        }
    }
    std::vector<double> values;
    if (!f.Eval(points, values)) {
        return false;
    }
    sum = 0.0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        sum += kW[i % 5] * values[i];
    }
    sum *= 0.5 * width;
    return true;
}

bool Romberg(Integrand &f, const Settings &s, double a, double b, Outcome &out)
{
    std::vector<double> row, next;
    std::vector<Point> points;
    std::vector<double> values;
    double trap = 0.0, absSum = 0.0, estimate = 0.0, error = HUGE_VAL;
    int n = 1;
    for (; n <= s.maxLevel; ++n) {
        long long k = n == 1 ? 2 : 1LL << (n - 2);
        if (n > 1 && f.Evaluations() + k > s.maxEvals) {
            --n;
            break;
        }
        points.clear();
        double h = (b - a) / static_cast<double>(n == 1 ? 1 : k);
        for (long long i = 0; i < k; ++i) {
            double x = n == 1 ? (i == 0 ? a : b)
                              : a + (b - a) * ((2.0 * static_cast<double>(i) + 1.0) /
                                               (2.0 * static_cast<double>(k)));
            double dA = x - a, dB = x - b;
            points.push_back({x, std::fabs(dA) <= std::fabs(dB) ? dA : dB});
        }
        if (!f.Eval(points, values)) {
            return false;
        }
        double sum = 0.0;
        for (std::size_t i = 0; i < values.size(); ++i) {
            sum += values[i];
            absSum += (n == 1 ? 0.5 : 1.0) * std::fabs(values[i]);
        }
        trap = n == 1 ? 0.5 * h * sum : 0.5 * trap + 0.5 * h * sum;
        double l1 = (b - a) * absSum / static_cast<double>(n == 1 ? 1 : 2 * k);
        /* Column m removes the error term of order h^(2m) from the one
         * before it. */
        next.assign(1, trap);
        double factor = 1.0;
        for (int m = 1; m < n; ++m) {
            factor *= 4.0;
            double fine = next.back();
            double coarse = row[static_cast<std::size_t>(m - 1)];
            next.push_back(fine + (fine - coarse) / (factor - 1.0));
        }
        estimate = next.back();
        out.levels = n;
        if (n > 1) {
            error = std::fabs(estimate - row.back());
            double wanted = std::max({s.tol * std::fabs(estimate), s.abstol, kFloor * l1});
            if (n >= s.minLevel && error <= wanted) {
                double check = 0.0;
                long long panels = n == 2 ? 1 : 1LL << (n - 2);
                if (!GaussCheck(f, a, b, panels, check)) {
                    return false;
                }
                if (std::fabs(check - estimate) <= 10.0 * wanted) {
                    out.estimate = estimate;
                    out.error = std::max(error, kFloor * l1);
                    out.met = true;
                    out.pieces = 1;
                    return true;
                }
                error = std::max(error, std::fabs(check - estimate));
            }
        }
        row.swap(next);
    }
    out.estimate = estimate;
    out.error = error;
    out.pieces = 1;
    return true;
}

} // namespace

/* ::kardum::quad::Run prefix a b points method tol abstol minLevel maxLevel
 *                     vector distance maxEvals */
int IntegrateCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    return RunCommand(interp, "kardum::integrate", [&]() -> int {
        if (objc != 13) {
            Tcl_WrongNumArgs(interp, 1, objv,
                             "prefix a b points method tol abstol minLevel maxLevel vector "
                             "distance maxEvals");
            return TCL_ERROR;
        }
        double a = 0.0, b = 0.0;
        Settings s{};
        int method = 0, vector = 0, distance = 0;
        Tcl_WideInt maxEvals = 0;
        if (Tcl_GetDoubleFromObj(interp, objv[2], &a) != TCL_OK ||
            Tcl_GetDoubleFromObj(interp, objv[3], &b) != TCL_OK ||
            Tcl_GetIntFromObj(interp, objv[5], &method) != TCL_OK ||
            Tcl_GetDoubleFromObj(interp, objv[6], &s.tol) != TCL_OK ||
            Tcl_GetDoubleFromObj(interp, objv[7], &s.abstol) != TCL_OK ||
            Tcl_GetIntFromObj(interp, objv[8], &s.minLevel) != TCL_OK ||
            Tcl_GetIntFromObj(interp, objv[9], &s.maxLevel) != TCL_OK ||
            Tcl_GetBooleanFromObj(interp, objv[10], &vector) != TCL_OK ||
            Tcl_GetBooleanFromObj(interp, objv[11], &distance) != TCL_OK ||
            Tcl_GetWideIntFromObj(interp, objv[12], &maxEvals) != TCL_OK) {
            return TCL_ERROR;
        }
        if (!(a < b) || s.minLevel < 1 || s.maxLevel > 32 || s.minLevel > s.maxLevel ||
            maxEvals < 1 || !(s.tol >= 0) || !(s.abstol >= 0) || (method == 1 && std::isinf(a - b))) {
            Fail("kardum::quad::Run: words out of range");
        }
        s.distance = distance != 0;
        s.maxEvals = static_cast<long long>(std::min<Tcl_WideInt>(maxEvals, Tcl_WideInt(1) << 40));
        Tcl_Size nPoints = 0;
        Tcl_Obj **pointObjs = nullptr;
        if (Tcl_ListObjGetElements(interp, objv[4], &nPoints, &pointObjs) != TCL_OK) {
            return TCL_ERROR;
        }
        std::vector<double> breaks;
        for (Tcl_Size i = 0; i < nPoints; ++i) {
            double p = 0.0;
            if (Tcl_GetDoubleFromObj(interp, pointObjs[i], &p) != TCL_OK) {
                return TCL_ERROR;
            }
            if (!(p > a && p < b) || (!breaks.empty() && !(p > breaks.back()))) {
                Fail("kardum::quad::Run: breakpoints must be sorted and inside the range");
            }
            breaks.push_back(p);
        }
        ObjRef prefix(objv[1]);
        Integrand f(interp, prefix.get(), vector != 0, s.distance, a, b);
        Outcome out;
        bool ok = method == 1 ? Romberg(f, s, a, b, out)
                              : DoubleExponential(f, s, a, b, breaks, out);
        if (!ok) {
            return TCL_ERROR;
        }
        Tcl_Obj *words[6] = {Tcl_NewDoubleObj(out.estimate), Tcl_NewDoubleObj(out.error),
                             Tcl_NewWideIntObj(f.Evaluations()), Tcl_NewIntObj(out.levels),
                             Tcl_NewIntObj(out.pieces), Tcl_NewIntObj(out.met ? 1 : 0)};
        Tcl_SetObjResult(interp, Tcl_NewListObj(6, words));
        return TCL_OK;
    });
}

} // namespace kardum::package
