// Table construction. The C runtimes of different platforms round sin and pow differently in the
// last bit, so both tables are computed here in double-double arithmetic (about 104 bits) and
// rounded once to double: every platform gets the same bits, and so the same renders. The sine
// factor is the ten-digit constant the language has always used, so sin2pi values match existing
// scripts bit for bit.
#include "program/tables.h"

#include <cmath>
#include <mutex>

namespace morvanel {

double SineTable[kSineTableSize];
double NoteFrequencyTable[kNoteTableSize];

namespace {

// A value hi + lo with |lo| at most half an ulp of hi. The operations are the classic error-free
// transformations (Knuth's two-sum, Dekker's product); they rely on IEEE double arithmetic with
// every operation rounded on its own: no excess precision and no contraction into fused
// multiply-adds (the build turns contraction off).
struct DoubleDouble {
    double hi;
    double lo;
};

DoubleDouble TwoSum(double a, double b) {
    const double sum = a + b;
    const double bPart = sum - a;
    return {sum, (a - (sum - bPart)) + (b - bPart)};
}

// Exact when |a| >= |b| or a is zero.
DoubleDouble FastTwoSum(double a, double b) {
    const double sum = a + b;
    return {sum, b - (sum - a)};
}

DoubleDouble TwoProduct(double a, double b) {
    constexpr double kSplitter = 134217729.0;  // 2^27 + 1: splits a double into two 26-bit halves
    const double product = a * b;
    const double aScaled = kSplitter * a;
    const double aHigh = aScaled - (aScaled - a);
    const double aLow = a - aHigh;
    const double bScaled = kSplitter * b;
    const double bHigh = bScaled - (bScaled - b);
    const double bLow = b - bHigh;
    return {product, ((aHigh * bHigh - product) + aHigh * bLow + aLow * bHigh) + aLow * bLow};
}

DoubleDouble Add(DoubleDouble a, DoubleDouble b) {
    const DoubleDouble high = TwoSum(a.hi, b.hi);
    const DoubleDouble low = TwoSum(a.lo, b.lo);
    const DoubleDouble partial = FastTwoSum(high.hi, high.lo + low.hi);
    return FastTwoSum(partial.hi, partial.lo + low.lo);
}

DoubleDouble Multiply(DoubleDouble a, DoubleDouble b) {
    const DoubleDouble product = TwoProduct(a.hi, b.hi);
    return FastTwoSum(product.hi, product.lo + (a.hi * b.lo + a.lo * b.hi));
}

DoubleDouble Divide(DoubleDouble a, double b) {
    const double quotient = a.hi / b;
    const DoubleDouble back = TwoProduct(quotient, b);
    const double rest = ((a.hi - back.hi) - back.lo) + a.lo;
    return FastTwoSum(quotient, rest / b);
}

DoubleDouble Negate(DoubleDouble a) { return {-a.hi, -a.lo}; }

// Taylor coefficients: the first kHeadTerms in double-double, the rest, which are too small to
// matter beyond double precision, in double.
constexpr int kHeadTerms = 8;
constexpr int kTailTerms = 8;

struct Series {
    DoubleDouble head[kHeadTerms];
    double tail[kTailTerms];
};

// Sum of coefficient[i] * x^i.
DoubleDouble EvaluateSeries(const Series& series, DoubleDouble x) {
    double tail = series.tail[kTailTerms - 1];
    for (int i = kTailTerms - 2; i >= 0; --i) tail = series.tail[i] + x.hi * tail;
    DoubleDouble sum = Multiply(x, {tail, 0.0});
    for (int i = kHeadTerms - 1; i >= 0; --i) {
        sum = Add(series.head[i], sum);
        if (i > 0) sum = Multiply(x, sum);
    }
    return sum;
}

struct Series3 {
    Series sine;         // sin(r) / r in powers of r^2
    Series cosine;       // cos(r) in powers of r^2
    Series exponential;  // exp(t) in powers of t
};

Series3 MakeSeries() {
    DoubleDouble inverseFactorial[2 * (kHeadTerms + kTailTerms)];
    inverseFactorial[0] = {1.0, 0.0};
    for (int n = 1; n < 2 * (kHeadTerms + kTailTerms); ++n) {
        inverseFactorial[n] = Divide(inverseFactorial[n - 1], static_cast<double>(n));
    }
    Series3 series{};
    for (int i = 0; i < kHeadTerms + kTailTerms; ++i) {
        const DoubleDouble sine = (i % 2 == 0) ? inverseFactorial[2 * i + 1] : Negate(inverseFactorial[2 * i + 1]);
        const DoubleDouble cosine = (i % 2 == 0) ? inverseFactorial[2 * i] : Negate(inverseFactorial[2 * i]);
        const DoubleDouble exponential = inverseFactorial[i];
        if (i < kHeadTerms) {
            series.sine.head[i] = sine;
            series.cosine.head[i] = cosine;
            series.exponential.head[i] = exponential;
        } else {
            series.sine.tail[i - kHeadTerms] = sine.hi;
            series.cosine.tail[i - kHeadTerms] = cosine.hi;
            series.exponential.tail[i - kHeadTerms] = exponential.hi;
        }
    }
    return series;
}

// pi/2 and ln 2 to about 160 bits, as sums of three doubles.
constexpr double kHalfPi[3] = {0x1.921fb54442d18p+0, 0x1.1a62633145c07p-54, -0x1.f1976b7ed8fbcp-110};
constexpr double kLn2[3] = {0x1.62e42fefa39efp-1, 0x1.abc9e3b39803fp-56, 0x1.7b57a079a1934p-111};

// sin(x) rounded to nearest, for 0 <= x < 8.
double Sine(const Series3& series, double x) {
    // x = quadrant * pi/2 + r with |r| <= pi/4: quadrant * kHalfPi[0] and quadrant * kHalfPi[1]
    // are exact as two-products, and x minus them loses nothing.
    const double quadrant = std::floor(x / kHalfPi[0] + 0.5);
    const DoubleDouble first = TwoProduct(quadrant, kHalfPi[0]);
    const DoubleDouble second = TwoProduct(quadrant, kHalfPi[1]);
    DoubleDouble r = TwoSum(x, -first.hi);
    r = Add(r, {-first.lo, -quadrant * kHalfPi[2]});
    r = Add(r, Negate(second));
    const DoubleDouble r2 = Multiply(r, r);
    const int turn = static_cast<int>(quadrant) & 3;
    DoubleDouble value = (turn & 1) != 0 ? EvaluateSeries(series.cosine, r2) : Multiply(r, EvaluateSeries(series.sine, r2));
    if ((turn & 2) != 0) value = Negate(value);
    return value.hi + value.lo;
}

// 2^y rounded to nearest, for |y| < 1000.
double PowerOfTwo(const Series3& series, double y) {
    const double whole = std::floor(y);
    const double fraction = y - whole;  // exact
    const DoubleDouble t = Add(TwoProduct(fraction, kLn2[0]), TwoProduct(fraction, kLn2[1]));
    const DoubleDouble value = EvaluateSeries(series.exponential, Add(t, {fraction * kLn2[2], 0.0}));
    return std::ldexp(value.hi + value.lo, static_cast<int>(whole));
}

// The entries where the values this table has always held, those of glibc's sin, lie one unit in
// the last place from the rounded result computed here (glibc's sin is not correctly rounded in
// every case). They are kept so that renders stay bit-identical to those made before; none of
// them changes a sin2pi result, which reads the table in single precision. A positive index
// means the value one step up, a negative one the value one step down.
constexpr int kSineAdjustments[] = {
    -1425,  1592,   1913,   -2178,  2459,   2623,   -2669,  2952,   -5036,  -5410,  6406,
    -8002,  11508,  12698,  14935,  26372,  -26765, -26768, 27407,  -27629, 27920,  28001,
    -28027, 28157,  -28580, 30282,  30373,  -30753, -30861, -31112, 31158,  34277,  -34825,
    -35017, 35156,  35235,  -35335, 35336,  35532,  35639,  35877,  36080,  36485,  -36714,
    37045,  -37127, -37204, 37679,  38816,  40036,  -40170, -40716, -52552, -53830, 55249,
    57150,  58662,  -59700, -59789, 60439,  62227,  62626,  63284,  64097,  -64182, -64277,
};

}  // namespace

void FillTables() {
    // Filled once: engines on other threads may already be reading them.
    static std::once_flag filled;
    std::call_once(filled, [] {
        const Series3 series = MakeSeries();
        NoteFrequencyTable[0] = 0.0;
        for (int n = 1; n < kNoteTableSize; ++n) {
            NoteFrequencyTable[n] = 13.75 * PowerOfTwo(series, (n - 9) / 12.0);
        }
        for (int j = 0; j < kSineTableSize; ++j) {
            const float turns = static_cast<float>(j) / 65536.0f;
            SineTable[j] = Sine(series, 6.283185307 * static_cast<double>(turns));
        }
        for (const int adjustment : kSineAdjustments) {
            double& entry = SineTable[adjustment < 0 ? -adjustment : adjustment];
            entry = std::nextafter(entry, adjustment < 0 ? -2.0 : 2.0);
        }
    });
}

}  // namespace morvanel
