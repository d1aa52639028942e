/*
 * Init.cpp --
 *
 *	The load entry point: registers the library's commands in the
 *	interpreter, provides the package Kardum_C and registers the package's
 *	own entry point Kardumpkg_Init (package/Init.cpp) as a static package,
 *	so that lib/kardum.tcl reaches it with `load {} Kardumpkg`.
 *
 *	KARDUM_VERSION, the version of both packages, comes from the build
 *	(project(VERSION) in CMakeLists.txt).
 */

#include "kardum.h"
#include "frame/Stubs.h"

#if TCL_MAJOR_VERSION >= 9
#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif
#endif

namespace {

struct CommandRow {
    const char *name;
    Tcl_ObjCmdProc *proc;
};

/*
 * Registration order of the commands: KDarrayMath, KDgridFill2D,
 * KDintegTrap, KDdataMqCoef, KDdataMxMn, KDdataRnd1, KDpolyExp1D,
 * KDpolyExp2D, KDmatrixInv, KDmatrixMath, KDdataLSq1D, KDdataLSq2D,
 * KDdataNLinLSq, KDdataGrid, KDvecMath, KDsolveCubic.
 */
const CommandRow kCommands[] = {
    {"KDarrayMath", ArrayMathCmd},
    {"KDgridFill2D", GridFillCmd},
    {"KDintegTrap", IntegTrapCmd},
    {"KDdataMqCoef", DataMqCoefCmd},
    {"KDdataMxMn", DataMxMnCmd},
    {"KDdataRnd1", DataRnd1Cmd},
    {"KDpolyExp1D", PolyExp1DCmd},
    {"KDpolyExp2D", PolyExp2DCmd},
    {"KDmatrixInv", MatrixInvCmd},
    {"KDmatrixMath", MatrixMathCmd},
    {"KDdataLSq1D", DataLSq1DCmd},
    {"KDdataLSq2D", DataLSq2DCmd},
    {"KDdataNLinLSq", DataNLinLSqCmd},
    {"KDdataGrid", DataGridCmd},
    {"KDvecMath", VecMathCmd},
    {"KDsolveCubic", SolveCubicCmd},
};

#if TCL_MAJOR_VERSION >= 9
/*
 * The address of the function `name` exported by the Tcl library that this
 * interpreter runs on: the library that holds the functions of the stub
 * table.  Null when it cannot be found.
 */
void *TclLibrarySymbol(const char *name)
{
    auto known = reinterpret_cast<void *>(tclStubsPtr->tcl_PkgProvideEx);
#if defined(_WIN32)
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCSTR>(known), &module)) {
        return nullptr;
    }
    return reinterpret_cast<void *>(GetProcAddress(module, name));
#else
    Dl_info info;
    if (!dladdr(known, &info) || !info.dli_fname) {
        return nullptr;
    }
    /* RTLD_NOLOAD: only the copy already in memory, never another file. */
    void *handle = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    if (!handle) {
        return nullptr;
    }
    void *symbol = dlsym(handle, name);
    dlclose(handle);
    return symbol;
#endif
}
#endif

/*
 * Registers a static package of this file for the whole process, so that
 * `load {} prefix` calls `init` in any interpreter; Tcl keeps one entry per
 * prefix and init procedure, however often this runs.  Tcl 8.6 reaches the
 * call through its slot of the stub table (its headers leave the slot out
 * of the stub macros, as meant for programs that embed Tcl).  Tcl 9 names
 * it Tcl_StaticLibrary, gives it no slot and has its stub library refuse
 * the call from an extension, so it is looked up in the Tcl library
 * itself.  Without it the library works as before, minus the package's
 * commands.
 */
void RegisterStatic(const char *prefix, int (*init)(Tcl_Interp *))
{
#if TCL_MAJOR_VERSION >= 9
    using StaticLibraryProc = void (*)(Tcl_Interp *, const char *, Tcl_LibraryInitProc *,
                                       Tcl_LibraryInitProc *);
    auto proc = reinterpret_cast<StaticLibraryProc>(TclLibrarySymbol("Tcl_StaticLibrary"));
    if (proc) {
        proc(nullptr, prefix, init, nullptr);
    }
#else
    tclStubsPtr->tcl_StaticPackage(nullptr, prefix, init, nullptr);
#endif
}

} // namespace

extern "C" int Kardum_Init(Tcl_Interp *interp)
{
    if (!kardum::InitTclStubs(interp)) {
        return TCL_ERROR;
    }
    for (const CommandRow &row : kCommands) {
        Tcl_CreateObjCommand(interp, row.name, row.proc, nullptr, nullptr);
    }
    /* The package's commands live in this same file: Tcl keeps one entry
     * per prefix for the process and calls Kardumpkg_Init on `load {}
     * Kardumpkg`, in whichever interpreter asks. */
    RegisterStatic("Kardumpkg", Kardumpkg_Init);
    Tcl_PkgProvide(interp, "Kardum_C", KARDUM_VERSION);
    return TCL_OK;
}
