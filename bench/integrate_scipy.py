"""scipy.integrate.quad on the battery of bench/integrate_battery.tcl.

Reads the battery as Python (tclsh integrate_battery.tcl --python) on
standard input; prints one tab-separated line per integral: name, value,
error estimate, evaluations, converged (1/0), microseconds per call.
"""
import sys
import time
import warnings

from scipy import integrate

namespace = {}
exec(sys.stdin.read(), namespace)
warnings.simplefilter("ignore")
for name, f, a, b, exact in namespace["battery"]:
    def run():
        return integrate.quad(f, a, b, epsabs=0.0, epsrel=1e-10, limit=200,
                              full_output=1)
    result = run()
    value, error, info = result[0], result[1], result[2]
    converged = 1 if len(result) == 3 else 0
    reps = 0
    start = time.process_time()
    while True:
        run()
        reps += 1
        elapsed = time.process_time() - start
        if elapsed > 0.05 or reps >= 200:
            break
    print("\t".join([name, repr(value), repr(error), str(info["neval"]), str(converged),
                     "%.1f" % (1e6 * elapsed / reps)]))
