// A plain tclsh, built with the library's own compiler flags.
#include <tcl.h>

static int AppInit(Tcl_Interp *interp)
{
    return Tcl_Init(interp);
}

int main(int argc, char **argv)
{
    Tcl_Main(argc, argv, AppInit);
    return 0;
}
