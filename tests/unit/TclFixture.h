// A fresh interpreter with the library's commands, for the unit tests.
#ifndef KARDUM_TEST_TCLFIXTURE_H
#define KARDUM_TEST_TCLFIXTURE_H

#include <gtest/gtest.h>

#include <string>

#include "kardum.h"
#include "frame/ObjRef.h"

class TclFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        interp = Tcl_CreateInterp();
        ASSERT_EQ(Kardum_Init(interp), TCL_OK);
    }
    void TearDown() override { Tcl_DeleteInterp(interp); }

    // Evaluates a script; fails the test when it raises an error.
    std::string Eval(const std::string &script)
    {
        int code = Tcl_Eval(interp, script.c_str());
        std::string result = Tcl_GetStringResult(interp);
        EXPECT_EQ(code, TCL_OK) << script << ": " << result;
        return result;
    }

    std::string Result() const { return Tcl_GetStringResult(interp); }

    // A new name object, released by the caller through Name's destructor.
    struct Name {
        kardum::ObjRef obj;
        explicit Name(const char *text) : obj(Tcl_NewStringObj(text, -1)) {}
        operator Tcl_Obj *() const { return obj.get(); }
    };

    Tcl_Interp *interp = nullptr;
};

#endif
