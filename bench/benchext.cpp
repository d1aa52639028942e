/*
 * benchext.cpp --
 *
 *	Benchmark-only commands, loaded by bench/run.tcl beside the library
 *	(never part of it):
 *
 *	KDbenchFloor In Out Len
 *		The marshalling floor: reads the elements 0 .. Len-1 of the array
 *		In into a C array of doubles and writes them into the elements
 *		0 .. Len-1 of the array Out, with the fastest public Tcl calls
 *		(one name object, an index object whose decimal text is stepped
 *		in place, Tcl_ObjGetVar2 / Tcl_GetDoubleFromObj on the way in,
 *		Tcl_NewDoubleObj / Tcl_ObjSetVar2 on the way out; an empty Out
 *		reads only).  It computes nothing and checks nothing.
 *
 *	KDbenchInverse Solver Order ?Seed?
 *		Inverts a random, diagonally dominant matrix of the given order
 *		with Solver "kardum" (MatrixInv_C) or "lapack" (the reference
 *		LAPACK, dgetrf then dgetri) and returns the microseconds of CPU
 *		time spent in the solver alone, matrix set-up excluded.
 *
 *	KDbenchCpuTime
 *		The CPU time of the calling thread in microseconds: the clock of
 *		the table, so that time spent waiting for a core on a shared
 *		machine does not count.
 *
 *	KDbenchTrim
 *		Gives the heap's free pages back to the system (glibc's
 *		malloc_trim), so that the memory the next call takes shows in the
 *		resident set instead of reusing pages the process still holds.
 *
 *	KDbenchSmallFit Count
 *		The CPU microseconds of one weighted degree-1 surface fit
 *		(DataLSq2D_C) on the eight neighbours of a cell, as the grid fill
 *		makes one per empty cell: the mean over Count fits.
 *
 *	KDbenchRun program ?arg ...?
 *		Runs a program to its end (standard output and error discarded)
 *		and returns {cpu microseconds wall microseconds peak kilobytes}:
 *		the user plus system time and the largest resident set of the
 *		child, as the kernel counts them.  Fails when the program does
 *		not exit with status 0.
 *
 *	KDbenchInverseCheck Order ?Seed?
 *		Both solvers on the same matrix: the largest absolute difference
 *		between the two inverses (a sanity check of the comparison).
 */

#include <tcl.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "kardum.h"

extern "C" {
void dgetrf_(const int *m, const int *n, double *a, const int *lda, int *ipiv, int *info);
void dgetri_(const int *n, double *a, const int *lda, const int *ipiv, double *work,
             const int *lwork, int *info);
}

namespace {

double CpuMicroseconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

int CpuTimeCmd(ClientData, Tcl_Interp *interp, int, Tcl_Obj *const[])
{
    Tcl_SetObjResult(interp, Tcl_NewDoubleObj(CpuMicroseconds()));
    return TCL_OK;
}

int TrimCmd(ClientData, Tcl_Interp *, int, Tcl_Obj *const[])
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
    return TCL_OK;
}

/* A pure-string index object whose decimal text is stepped in place. */
class Counter {
public:
    Counter() { Renew(); }
    ~Counter() { Tcl_DecrRefCount(obj_); }
    Counter(const Counter &) = delete;
    Counter &operator=(const Counter &) = delete;

    Tcl_Obj *Obj() { return obj_; }

    /* Moves on to the next index; a shared object is replaced first. */
    void Next()
    {
        if (Tcl_IsShared(obj_) || obj_->typePtr != nullptr) {
            Renew();
        }
        char *d = obj_->bytes;
        int i = obj_->length - 1;
        while (i >= 0 && d[i] == '9') {
            d[i--] = '0';
        }
        if (i >= 0) {
            ++d[i];
        } else {
            std::memmove(d + 1, d, static_cast<std::size_t>(obj_->length) + 1);
            d[0] = '1';
            ++obj_->length;
        }
    }

private:
    void Renew()
    {
        char text[24] = "0";
        int length = 1;
        if (obj_ != nullptr) {
            length = obj_->length;
            std::memcpy(text, obj_->bytes, static_cast<std::size_t>(length) + 1);
            Tcl_DecrRefCount(obj_);
        }
        obj_ = Tcl_NewObj();
        Tcl_IncrRefCount(obj_);
        Tcl_InvalidateStringRep(obj_);
        obj_->bytes = static_cast<char *>(Tcl_Alloc(sizeof text));
        std::memcpy(obj_->bytes, text, sizeof text);
        obj_->length = length;
    }

    Tcl_Obj *obj_ = nullptr;
};

int FloorCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    int len = 0;
    if (objc != 4 || Tcl_GetIntFromObj(interp, objv[3], &len) != TCL_OK) {
        Tcl_WrongNumArgs(interp, 1, objv, "In Out Len");
        return TCL_ERROR;
    }
    std::vector<double> values(static_cast<std::size_t>(len > 0 ? len : 0));
    {
        Counter index;
        for (int i = 0; i < len; ++i, index.Next()) {
            Tcl_Obj *v = Tcl_ObjGetVar2(interp, objv[1], index.Obj(), TCL_LEAVE_ERR_MSG);
            if (v != nullptr) {
                Tcl_GetDoubleFromObj(interp, v, &values[i]);
            }
        }
    }
    if (Tcl_GetCharLength(objv[2]) > 0) {
        Counter index;
        for (int i = 0; i < len; ++i, index.Next()) {
            Tcl_ObjSetVar2(interp, objv[2], index.Obj(), Tcl_NewDoubleObj(values[i]),
                           TCL_LEAVE_ERR_MSG);
        }
    }
    return TCL_OK;
}

std::vector<double> RandomMatrix(int n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> a(static_cast<std::size_t>(n) * static_cast<std::size_t>(n));
    for (double &x : a) {
        x = u(gen);
    }
    for (int i = 0; i < n; ++i) {
        a[static_cast<std::size_t>(i) * n + i] += n;
    }
    return a;
}

/* The inverse of a row-major matrix in place: LAPACK works on columns, and
 * the column-major inverse of the transpose is the row-major inverse. */
bool LapackInverse(int n, double *a, std::vector<int> &ipiv, std::vector<double> &work)
{
    int info = 0;
    int lwork = static_cast<int>(work.size());
    dgetrf_(&n, &n, a, &n, ipiv.data(), &info);
    if (info != 0) {
        return false;
    }
    dgetri_(&n, a, &n, ipiv.data(), work.data(), &lwork, &info);
    return info == 0;
}

/* Workspace for dgetri: the size LAPACK asks for. */
std::vector<double> LapackWork(int n)
{
    int info = 0, lwork = -1;
    double query = 0.0;
    dgetri_(&n, nullptr, &n, nullptr, &query, &lwork, &info);
    return std::vector<double>(static_cast<std::size_t>(query > n ? query : n));
}

int ReadOrderAndSeed(Tcl_Interp *interp, int objc, Tcl_Obj *const objv[], int first,
                     int &n, int &seed)
{
    seed = 12345;
    if (Tcl_GetIntFromObj(interp, objv[first], &n) != TCL_OK) {
        return TCL_ERROR;
    }
    if (n < 1) {
        Tcl_SetObjResult(interp, Tcl_NewStringObj("Order must be at least 1", -1));
        return TCL_ERROR;
    }
    if (objc > first + 1 && Tcl_GetIntFromObj(interp, objv[first + 1], &seed) != TCL_OK) {
        return TCL_ERROR;
    }
    return TCL_OK;
}

int InverseCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    if (objc < 3 || objc > 4) {
        Tcl_WrongNumArgs(interp, 1, objv, "Solver Order ?Seed?");
        return TCL_ERROR;
    }
    int n = 0, seed = 0;
    if (ReadOrderAndSeed(interp, objc, objv, 2, n, seed) != TCL_OK) {
        return TCL_ERROR;
    }
    std::string solver = Tcl_GetString(objv[1]);
    std::vector<double> a = RandomMatrix(n, static_cast<unsigned>(seed));
    std::vector<int> ipiv(static_cast<std::size_t>(n));
    std::vector<double> work = LapackWork(n);
    bool ok = false;
    double start = CpuMicroseconds();
    if (solver == "kardum") {
        ok = MatrixInv_C(n, a.data(), 0, nullptr) == 1;
    } else if (solver == "lapack") {
        ok = LapackInverse(n, a.data(), ipiv, work);
    } else {
        Tcl_SetObjResult(interp, Tcl_NewStringObj("Solver must be kardum or lapack", -1));
        return TCL_ERROR;
    }
    double stop = CpuMicroseconds();
    if (!ok) {
        Tcl_SetObjResult(interp, Tcl_NewStringObj("the solver failed", -1));
        return TCL_ERROR;
    }
    Tcl_SetObjResult(interp, Tcl_NewDoubleObj(stop - start));
    return TCL_OK;
}

int InverseCheckCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    if (objc < 2 || objc > 3) {
        Tcl_WrongNumArgs(interp, 1, objv, "Order ?Seed?");
        return TCL_ERROR;
    }
    int n = 0, seed = 0;
    if (ReadOrderAndSeed(interp, objc, objv, 1, n, seed) != TCL_OK) {
        return TCL_ERROR;
    }
    std::vector<double> a = RandomMatrix(n, static_cast<unsigned>(seed));
    std::vector<double> b = a;
    std::vector<int> ipiv(static_cast<std::size_t>(n));
    std::vector<double> work = LapackWork(n);
    if (MatrixInv_C(n, a.data(), 0, nullptr) != 1 || !LapackInverse(n, b.data(), ipiv, work)) {
        Tcl_SetObjResult(interp, Tcl_NewStringObj("a solver failed", -1));
        return TCL_ERROR;
    }
    double worst = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        worst = std::fmax(worst, std::fabs(a[i] - b[i]));
    }
    Tcl_SetObjResult(interp, Tcl_NewDoubleObj(worst));
    return TCL_OK;
}

int SmallFitCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    int count = 0;
    if (objc != 2 || Tcl_GetIntFromObj(interp, objv[1], &count) != TCL_OK || count < 1) {
        Tcl_WrongNumArgs(interp, 1, objv, "Count");
        return TCL_ERROR;
    }
    double x[8] = {1, 0, -1, 0, 1, -1, 1, -1};
    double y[8] = {0, 1, 0, -1, 1, 1, -1, -1};
    double z[8] = {2.0, 2.1, 1.9, 2.05, 2.2, 1.95, 2.0, 1.8};
    double w[8] = {1, 1, 1, 1, 0.35, 0.35, 0.35, 0.35};
    double coef[20] = {};
    double residual = 0.0;
    double sum = 0.0;
    double start = CpuMicroseconds();
    for (int i = 0; i < count; ++i) {
        z[0] = 2.0 + 1e-3 * (i & 7);
        DataLSq2D_C(x, y, z, 8, 1, 1, coef, 0, w, &residual);
        sum += coef[0];
    }
    double stop = CpuMicroseconds();
    if (!(sum > 0.0)) {
        Tcl_SetObjResult(interp, Tcl_NewStringObj("the fit failed", -1));
        return TCL_ERROR;
    }
    Tcl_SetObjResult(interp, Tcl_NewDoubleObj((stop - start) / count));
    return TCL_OK;
}

int RunCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    if (objc < 2) {
        Tcl_WrongNumArgs(interp, 1, objv, "program ?arg ...?");
        return TCL_ERROR;
    }
    std::vector<std::string> words;
    for (int i = 1; i < objc; ++i) {
        words.emplace_back(Tcl_GetString(objv[i]));
    }
    std::vector<char *> argv;
    for (std::string &w : words) {
        argv.push_back(w.data());
    }
    argv.push_back(nullptr);
    timespec t0{}, t1{};
    clock_gettime(CLOCK_MONOTONIC, &t0);
    pid_t pid = fork();
    if (pid < 0) {
        Tcl_SetObjResult(interp, Tcl_NewStringObj("fork failed", -1));
        return TCL_ERROR;
    }
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage use{};
    if (wait4(pid, &status, 0, &use) != pid) {
        Tcl_SetObjResult(interp, Tcl_NewStringObj("wait4 failed", -1));
        return TCL_ERROR;
    }
    clock_gettime(CLOCK_MONOTONIC, &t1);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string msg = "KDbenchRun: " + words[0] + " failed";
        Tcl_SetObjResult(interp, Tcl_NewStringObj(msg.c_str(), -1));
        return TCL_ERROR;
    }
    double cpu = (use.ru_utime.tv_sec + use.ru_stime.tv_sec) * 1e6 +
                 use.ru_utime.tv_usec + use.ru_stime.tv_usec;
    double wall = (t1.tv_sec - t0.tv_sec) * 1e6 + (t1.tv_nsec - t0.tv_nsec) / 1e3;
    Tcl_Obj *out[3] = {Tcl_NewDoubleObj(cpu), Tcl_NewDoubleObj(wall),
                       Tcl_NewWideIntObj(use.ru_maxrss)};
    Tcl_SetObjResult(interp, Tcl_NewListObj(3, out));
    return TCL_OK;
}

} // namespace

extern "C" __attribute__((visibility("default"))) int Kardumbench_Init(Tcl_Interp *interp)
{
    if (Tcl_InitStubs(interp, TCL_VERSION, 0) == nullptr) {
        return TCL_ERROR;
    }
    Tcl_CreateObjCommand(interp, "KDbenchCpuTime", CpuTimeCmd, nullptr, nullptr);
    Tcl_CreateObjCommand(interp, "KDbenchTrim", TrimCmd, nullptr, nullptr);
    Tcl_CreateObjCommand(interp, "KDbenchFloor", FloorCmd, nullptr, nullptr);
    Tcl_CreateObjCommand(interp, "KDbenchInverse", InverseCmd, nullptr, nullptr);
    Tcl_CreateObjCommand(interp, "KDbenchSmallFit", SmallFitCmd, nullptr, nullptr);
    Tcl_CreateObjCommand(interp, "KDbenchRun", RunCmd, nullptr, nullptr);
    Tcl_CreateObjCommand(interp, "KDbenchInverseCheck", InverseCheckCmd, nullptr, nullptr);
    return TCL_OK;
}
