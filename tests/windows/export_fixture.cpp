// A DLL whose exports are known, for check-exports-test.sh: four exported
// functions in the shapes include/kardum.h uses, one defined but not
// exported, and some C++ that pulls in libstdc++ without exporting any of it.

#include <string>
#include <vector>

#define KARDUM_API __declspec(dllexport)

namespace {

std::string Label(int n)
{
    return "fixture " + std::to_string(n);
}

} // namespace

extern "C" {

KARDUM_API int Fixture_Init(void *interp)
{
    return interp == nullptr ? 1 : 0;
}

KARDUM_API double Fixture_C(const double *x, int n)
{
    std::vector<double> copy(x, x + (n > 0 ? n : 0));
    double sum = 0.0;
    for (double v : copy) {
        sum += v;
    }
    return sum;
}

KARDUM_API int FixtureCmd(void *, void *, int objc, void *const *)
{
    return static_cast<int>(Label(objc).size());
}

KARDUM_API const char *Fixture_Name(void)
{
    return "fixture";
}

int Fixture_Hidden(int x)
{
    return x + 1;
}

} // extern "C"
