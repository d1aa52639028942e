/*
 * kardum.h --
 *
 *	Public interface of the kardum numerical extension for Tcl: the load
 *	entry point, the three array marshalling functions, the sixteen Tcl
 *	command procedures and the sixteen C workers behind them.
 *
 *	Command procedures follow the Tcl_ObjCmdProc signature.  Workers take
 *	plain C arrays owned by the caller; they trust their arguments (counts
 *	and buffer sizes as documented in doc/api.md) and keep no state.
 */

#ifndef KARDUM_H
#define KARDUM_H

#include <tcl.h>

#if defined(_WIN32) || defined(__CYGWIN__)
#  define KARDUM_API __declspec(dllexport)
#elif defined(__GNUC__) || defined(__clang__)
#  define KARDUM_API __attribute__((visibility("default")))
#else
#  define KARDUM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Load entry point: registers the commands, provides Kardum_C 2.0. */
KARDUM_API int Kardum_Init(Tcl_Interp *interp);

/* Second entry point of the same file: the C++ commands behind the
 * script-level package kardum, in the namespace ::kardum. */
KARDUM_API int Kardumpkg_Init(Tcl_Interp *interp);

/* Array marshalling. Type codes: D F L l S s C c (readers accept D F L S C). */
KARDUM_API int TclArrayToC(Tcl_Interp *interp, Tcl_Obj *name, void *array,
                           int len, int first, char type);
KARDUM_API int CArrayToTcl(Tcl_Interp *interp, Tcl_Obj *name, void *array,
                           int len, int first, char type);
KARDUM_API int CArrayToList(Tcl_Interp *interp, Tcl_Obj *name, void *array,
                            int len, char type);

/* Command procedures, in registration order. */
KARDUM_API int ArrayMathCmd(ClientData cd, Tcl_Interp *interp, int objc,
                            Tcl_Obj *const objv[]);
KARDUM_API int GridFillCmd(ClientData cd, Tcl_Interp *interp, int objc,
                           Tcl_Obj *const objv[]);
KARDUM_API int IntegTrapCmd(ClientData cd, Tcl_Interp *interp, int objc,
                            Tcl_Obj *const objv[]);
KARDUM_API int DataMqCoefCmd(ClientData cd, Tcl_Interp *interp, int objc,
                             Tcl_Obj *const objv[]);
KARDUM_API int DataMxMnCmd(ClientData cd, Tcl_Interp *interp, int objc,
                           Tcl_Obj *const objv[]);
KARDUM_API int DataRnd1Cmd(ClientData cd, Tcl_Interp *interp, int objc,
                           Tcl_Obj *const objv[]);
KARDUM_API int PolyExp1DCmd(ClientData cd, Tcl_Interp *interp, int objc,
                            Tcl_Obj *const objv[]);
KARDUM_API int PolyExp2DCmd(ClientData cd, Tcl_Interp *interp, int objc,
                            Tcl_Obj *const objv[]);
KARDUM_API int MatrixInvCmd(ClientData cd, Tcl_Interp *interp, int objc,
                            Tcl_Obj *const objv[]);
KARDUM_API int MatrixMathCmd(ClientData cd, Tcl_Interp *interp, int objc,
                             Tcl_Obj *const objv[]);
KARDUM_API int DataLSq1DCmd(ClientData cd, Tcl_Interp *interp, int objc,
                            Tcl_Obj *const objv[]);
KARDUM_API int DataLSq2DCmd(ClientData cd, Tcl_Interp *interp, int objc,
                            Tcl_Obj *const objv[]);
KARDUM_API int DataNLinLSqCmd(ClientData cd, Tcl_Interp *interp, int objc,
                              Tcl_Obj *const objv[]);
KARDUM_API int DataGridCmd(ClientData cd, Tcl_Interp *interp, int objc,
                           Tcl_Obj *const objv[]);
KARDUM_API int VecMathCmd(ClientData cd, Tcl_Interp *interp, int objc,
                          Tcl_Obj *const objv[]);
KARDUM_API int SolveCubicCmd(ClientData cd, Tcl_Interp *interp, int objc,
                             Tcl_Obj *const objv[]);

/* C workers. */
KARDUM_API double ArrayMath_C(double *a1, char op, double *a2, double *out,
                              int len, int step1, int step2, int stepOut);
KARDUM_API int GridFill_C(double *grid, double *weight, int m, int r,
                          char *mode, double *p, int q, int *limits,
                          double *descriptor, int *seed);
KARDUM_API double IntegTrap_C(Tcl_Interp *interp, const char *proc, double a,
                              double b, int n, double previous, int mode);
KARDUM_API int DataMqCoef_C(Tcl_Interp *interp, Tcl_Obj *work, double *y,
                            double *sig, int nP, char *iPar, int nPar,
                            int alphaOff, int betaOff, const char *script,
                            double *workArray);
KARDUM_API void DataMxMn_C(double *values, int n, char cond, double lower,
                           double upper, int step, int *iMin, int *iMax);
KARDUM_API int DataRnd1_C(double *out, int n, short type, double scale,
                          int seed);
KARDUM_API double PolyExp1D_C(double x, int nCoef, double *coef, int clamp,
                              double *limits);
KARDUM_API double PolyExp2D_C(double x, double y, int nCoef, double *coef,
                              int degree, int clamp, double *limits);
KARDUM_API int MatrixInv_C(int n, double *a, int m, double *b);
KARDUM_API double MatrixMath_C(double *a, char action, double *b, double *out,
                               int *dimA, int *dimB);
KARDUM_API double DataLSq1D_C(Tcl_Interp *interp, double *x, double *y, int nP,
                              int wtMode, double *coef, char *iCoef, int nCoef,
                              double *covar, const char *script, double *sig);
KARDUM_API int DataLSq2D_C(double *x, double *y, double *z, int nP, int degree,
                           int wtMode, double *coef, int resFlag,
                           double *weight, double *residual);
KARDUM_API int DataNLinLSq_C(Tcl_Interp *interp, Tcl_Obj *work, double *y,
                             double *sig, int nP, double *par, char *iPar,
                             int nPar, const char *script, double *workArray);
KARDUM_API int DataGrid_C(Tcl_Interp *interp, int nP, int xHold, double *x1,
                          double *x2, int yHold, double *y1, double *y2,
                          double *z, Tcl_Obj *grd, Tcl_Obj *nrm,
                          double *descriptor);
KARDUM_API double VecMath_C(double *x, char op, double *y, double *out, int nx,
                            int ny, int rot);
KARDUM_API int SolveCubic_C(double a, double b, double c, double d,
                            double *out);

#ifdef __cplusplus
}
#endif

#endif /* KARDUM_H */
