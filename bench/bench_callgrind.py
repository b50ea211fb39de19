"""Instructions per call of the wrapper's methods, counted by valgrind's callgrind.

    .venv/bin/python bench/bench_callgrind.py [-n N] [--annotate CASE[:VARIANT]]
    make bench-callgrind          (every supported CPython found)

Instruction counts repeat exactly from run to run, unlike times on a shared
machine. Each method runs on a fake camera of plain Python objects (no SDK
call), so the figures are about the wrapper itself, in three forms:

* module: the method of the extension module (``grp.CUF_GET_Width()``);
* python: the same method written as a pure-Python class;
* inline: the method's body written out in the calling loop
  (``grp._cam.Width.GetValue()``).

The script runs itself under ``valgrind --tool=callgrind --dump-before=getppid``:
the child calls ``os.getppid()`` as a marker, so callgrind writes one profile per
stretch between markers. For every case the child warms the loop up, then runs
it N times and 2N times between markers; the difference of the two counts,
divided by N, is the cost of one iteration, with start-up, warm-up and the
markers cancelled out. The cost of an empty loop iteration is subtracted.

``--annotate getter`` (or setter, exposure, ratios, centre; ``--c-nodes`` for
the camera with built-in node methods) profiles that case alone, module and
Python class, and prints with callgrind_annotate's help the instructions per
iteration each function spent in both, largest difference first. It loads the
unstripped extension from the build directory when there is one, so the
extension's own functions have names.
"""

import argparse
import glob
import itertools
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import types

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

# --- the fake camera and the pure-Python class (child side) ------------------


class FakeNode:
    def __init__(self, value, lo=0, hi=4096):
        self.value = value
        self.lo = lo
        self.hi = hi

    def GetValue(self):
        return self.value

    def SetValue(self, value):
        self.value = value

    def GetMin(self):
        return self.lo

    def GetMax(self):
        return self.hi


class FakeCamera:
    """The nodes the measured methods reach. There is no CenterX, so
    centring computes the offset, (Width.GetMax() - Width.GetValue()) // 2.

    With c_nodes, each node's methods are built-in callables instead of Python
    methods (GetValue is an iterator's __next__, SetValue the built-in id), like
    the compiled node methods of the SDK: calling them runs no Python code, so
    what remains is the cost of the wrapper and of the attribute look-ups."""

    def __init__(self, c_nodes=False):
        node = c_node if c_nodes else FakeNode
        self.Width = node(1024, 16, 2048)
        self.OffsetX = node(0, 0, 2032)
        self.ExposureTime = node(10000.0, 19.0, 1e7)
        self.BalanceRatioSelector = node("Red")
        self.BalanceRatio = node(1.5, 0.0, 15.98)


def c_node(value, lo=0, hi=4096):
    return types.SimpleNamespace(GetValue=itertools.repeat(value).__next__, SetValue=id,
                                 GetMin=itertools.repeat(lo).__next__,
                                 GetMax=itertools.repeat(hi).__next__)


def python_classes(pylon):
    """The measured methods written in Python, doing what the module does."""

    class PyFeature:
        def __init__(self, cam):
            self._cam = cam

        def CUF_GET_Width(self):
            return self._cam.Width.GetValue()

        def CUF_SET_Width(self, val):
            self._cam.Width.SetValue(val)

        def CUF_SET_ExposureTime(self, val):
            try:
                lo = self._cam.ExposureTime.GetMin()
                hi = self._cam.ExposureTime.GetMax()
                self._cam.ExposureTime.SetValue(max(min(val, hi), lo))
            except Exception as e:
                print(f"ExposureTime set failure: {e}")

        def CUF_GET_BalanceRatioAll(self):
            res = {}
            orig = self._cam.BalanceRatioSelector.GetValue()
            for color in ("Red", "Green", "Blue"):
                self._cam.BalanceRatioSelector.SetValue(color)
                res[color] = self._cam.BalanceRatio.GetValue()
            self._cam.BalanceRatioSelector.SetValue(orig)
            return res

        def CUF_SET_CenterX(self):
            # the path the fake camera takes: no CenterX attribute at all
            if hasattr(self._cam, "CenterX"):
                raise NotImplementedError("the benchmark's camera has no CenterX")
            self._cam.OffsetX.SetValue((self._cam.Width.GetMax() - self._cam.Width.GetValue()) // 2)

    return PyFeature


# case: (label, module statement, python statement, inline body). `grp` is the
# module's feature group, `py` the Python class's instance, `v` an argument.
CASES = {
    "getter": (
        "plain getter  CUF_GET_Width()",
        "grp.CUF_GET_Width()",
        "py.CUF_GET_Width()",
        "grp._cam.Width.GetValue()",
    ),
    "setter": (
        "plain setter  CUF_SET_Width(v)",
        "grp.CUF_SET_Width(v)",
        "py.CUF_SET_Width(v)",
        "grp._cam.Width.SetValue(v)",
    ),
    "exposure": (
        "clamp         CUF_SET_ExposureTime(v)",
        "grp.CUF_SET_ExposureTime(v)",
        "py.CUF_SET_ExposureTime(v)",
        """\
try:
    lo = grp._cam.ExposureTime.GetMin()
    hi = grp._cam.ExposureTime.GetMax()
    grp._cam.ExposureTime.SetValue(max(min(v, hi), lo))
except Exception as e:
    print(f"ExposureTime set failure: {e}")""",
    ),
    "ratios": (
        "selector loop CUF_GET_BalanceRatioAll()",
        "grp.CUF_GET_BalanceRatioAll()",
        "py.CUF_GET_BalanceRatioAll()",
        """\
res = {}
orig = grp._cam.BalanceRatioSelector.GetValue()
for color in ("Red", "Green", "Blue"):
    grp._cam.BalanceRatioSelector.SetValue(color)
    res[color] = grp._cam.BalanceRatio.GetValue()
grp._cam.BalanceRatioSelector.SetValue(orig)""",
    ),
    "centre": (
        "centring      CUF_SET_CenterX()",
        "grp.CUF_SET_CenterX()",
        "py.CUF_SET_CenterX()",
        """\
if hasattr(grp._cam, "CenterX"):
    raise NotImplementedError("the benchmark's camera has no CenterX")
grp._cam.OffsetX.SetValue((grp._cam.Width.GetMax() - grp._cam.Width.GetValue()) // 2)""",
    ),
}
VARIANTS = ("module", "python", "inline")
# which of the module's groups holds the method, and the argument passed
GROUP_OF = {"getter": "ImageFormatControl", "setter": "ImageFormatControl",
            "exposure": "AcquisitionControl", "ratios": "AnalogControl",
            "centre": "ImageFormatControl"}
ARG_OF = {"setter": 1024, "exposure": 5000.0}


def make_loop(body, namespace):
    """A function running `body` n times, with the names it uses as fast locals."""
    params = ", ".join(f"{k}={k}" for k in namespace)
    inner = "\n".join("        " + line for line in body.splitlines())
    src = f"def loop(n, {params}):\n    for _ in range(n):\n{inner}\n"
    scope = dict(namespace)
    exec(compile(src, "<loop>", "exec"), scope)
    return scope["loop"]


def child(n, only, c_nodes):
    """Runs under callgrind. Prints the order of the measured loops."""
    import Tavrocam
    from pypylon import pylon

    PyFeature = python_classes(pylon)
    marker = os.getppid
    warm = max(n // 10, 100)
    order = []
    plan = [(case, variant) for case in CASES for variant in ("empty",) + VARIANTS]
    if only:
        plan = [only]
    seen_empty = False
    for case, variant in plan:
        if variant == "empty":
            if seen_empty:
                continue
            seen_empty = True
            body, ns = "pass", {}
        else:
            cam_m, cam_p = FakeCamera(c_nodes), FakeCamera(c_nodes)
            grp = getattr(Tavrocam.CLASS_Tavrocam, GROUP_OF[case])(cam_m)
            py = PyFeature(cam_p)
            ns = {"grp": grp, "py": py, "v": ARG_OF.get(case), "pylon": pylon}
            _, mod_stmt, py_stmt, inline = CASES[case]
            # same result and same camera state from the module and from Python
            assert eval(mod_stmt, dict(ns)) == eval(py_stmt, dict(ns)), case
            if not c_nodes:
                for node in ("Width", "OffsetX", "ExposureTime", "BalanceRatioSelector"):
                    assert vars(getattr(cam_m, node)) == vars(getattr(cam_p, node)), (case, node)
            body = {"module": mod_stmt, "python": py_stmt, "inline": inline}[variant]
        loop = make_loop(body, ns)
        loop(warm)
        marker()  # dump: everything up to here (discarded)
        loop(n)
        marker()  # dump: n iterations
        loop(2 * n)
        marker()  # dump: 2n iterations
        order.append("empty:empty" if variant == "empty" else f"{case}:{variant}")
    print("ORDER " + " ".join(order), flush=True)


# --- the parent: runs the child under callgrind, reads the profiles -----------


def totals(path):
    with open(path) as f:
        for line in f:
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1])
    raise ValueError(f"no totals in {path}")


def run_child(n, only, c_nodes, outdir, extra_env=None):
    env = dict(os.environ, PYTHONHASHSEED="0")
    env.update(extra_env or {})
    cmd = ["valgrind", "--tool=callgrind", "--dump-before=getppid",
           f"--callgrind-out-file={outdir}/cg.%p", sys.executable, os.path.abspath(__file__),
           "--child", "-n", str(n)]
    if only:
        cmd += ["--only", ":".join(only)]
    if c_nodes:
        cmd += ["--c-nodes"]
    proc = subprocess.run(cmd, env=env, capture_output=True, text=True)
    m = re.search(r"^ORDER (.*)$", proc.stdout, re.M)
    if proc.returncode != 0 or not m:
        sys.stderr.write(proc.stdout + proc.stderr)
        raise SystemExit(f"callgrind run failed (exit {proc.returncode})")
    order = m.group(1).split()
    dumps = sorted(glob.glob(f"{outdir}/cg.*.*"), key=lambda p: int(p.rsplit(".", 1)[1]))
    if len(dumps) != 3 * len(order):
        raise SystemExit(f"expected {3 * len(order)} profiles, found {len(dumps)}")
    return order, dumps


def measure(n, c_nodes):
    with tempfile.TemporaryDirectory(prefix="tavrocam-cg-") as outdir:
        order, dumps = run_child(n, None, c_nodes, outdir)
        per = {}
        for i, key in enumerate(order):
            once, twice = totals(dumps[3 * i + 1]), totals(dumps[3 * i + 2])
            per[key] = (twice - once) / n
    empty = per.pop("empty:empty")
    return {k: v - empty for k, v in per.items()}, empty


def table(per, empty, n, c_nodes):
    import platform

    nodes = "built-in node methods" if c_nodes else "Python node methods"
    print(f"CPython {platform.python_version()}, fake camera with {nodes}: instructions per "
          f"call (N={n} and 2N iterations, empty loop of {empty:.0f} subtracted)")
    label_w = max(len(c[0]) for c in CASES.values())
    print(f"  {'':<{label_w}}  {'module':>7} {'python':>7} {'inline':>7}   "
          f"{'mod/py':>6} {'mod/inl':>7}")
    above = []
    for case, (label, *_rest) in CASES.items():
        m, p, i = (per[f"{case}:{v}"] for v in VARIANTS)
        print(f"  {label:<{label_w}}  {m:7.0f} {p:7.0f} {i:7.0f}   {m / p:6.2f} {m / i:7.2f}")
        if m / p > 1.0:
            above.append(case)
    return above


def unstripped_module_dir():
    """The build directory's extension (with symbols) for this interpreter."""
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    tag = f"cp{sys.version_info[0]}{sys.version_info[1]}"
    for path in glob.glob(os.path.join(ROOT, "build", f"{tag}-*", "Tavrocam" + suffix)):
        return os.path.dirname(path)
    return None


def profile_by_function(case, variant, n, c_nodes, env):
    """{function: instructions per iteration} for one case, self cost, 2N loop."""
    with tempfile.TemporaryDirectory(prefix="tavrocam-cg-") as outdir:
        _, dumps = run_child(n, (case, variant), c_nodes, outdir, env)
        profile = dumps[2]
        total = totals(profile)
        out = subprocess.run(["callgrind_annotate", "--inclusive=no", "--threshold=100", profile],
                             capture_output=True, text=True, check=True).stdout
    costs, objects = {}, {}
    for line in out.splitlines():
        m = re.match(r"\s*([\d,]+) \(\s*[\d.]+%\)\s+(\S.*)$", line)
        if not m or "PROGRAM TOTALS" in line:
            continue
        count = int(m.group(1).replace(",", ""))
        if count >= 0.99 * total:
            continue  # a frame the whole stretch ran under (main, the outer loop's caller)
        where = m.group(2)
        func, _, obj = where.partition(" [")
        if ":" in func.split("(")[0].split("::")[0]:
            func = func.split(":", 1)[1]  # drop the source file
        func = strip_parameters(func)
        costs[func] = costs.get(func, 0) + count / (2 * n)
        if obj:
            objects[func] = os.path.basename(obj.rstrip("]"))
    return total / (2 * n), {f"{f} [{objects[f]}]" if f in objects else f: c
                             for f, c in costs.items()}


def strip_parameters(func):
    """A C++ name without its trailing parameter list."""
    if not func.endswith(")") or func.startswith("("):
        return func
    depth = 0
    for i in range(len(func) - 1, -1, -1):
        depth += {")": 1, "(": -1}.get(func[i], 0)
        if depth == 0:
            return func[:i]
    return func


def annotate(case, n, c_nodes):
    """Where the instructions of one case go, module against Python, per function."""
    moddir = unstripped_module_dir()
    env = {"PYTHONPATH": moddir} if moddir else {}
    import platform

    nodes = "built-in node methods" if c_nodes else "Python node methods"
    print(f"CPython {platform.python_version()}, {CASES[case][0].split()[-1]} on a fake camera "
          f"with {nodes}; self instructions per iteration (loop included), extension from "
          f"{moddir or 'site-packages (stripped: no names)'}")
    results = {v: profile_by_function(case, v, n, c_nodes, env) for v in ("module", "python")}
    funcs = set().union(*(c for _, c in results.values()))
    rows = sorted(funcs, key=lambda f: -max(abs(results["module"][1].get(f, 0)
                                                - results["python"][1].get(f, 0)), 0))
    print(f"  {'module':>8} {'python':>8} {'diff':>8}  function")
    print(f"  {results['module'][0]:8.0f} {results['python'][0]:8.0f} "
          f"{results['module'][0] - results['python'][0]:+8.0f}  (total)")
    for f in rows[:25]:
        m, p = results["module"][1].get(f, 0), results["python"][1].get(f, 0)
        if abs(m - p) < 3:
            continue
        print(f"  {m:8.0f} {p:8.0f} {m - p:+8.0f}  {f[:100]}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("-n", type=int, default=10_000, help="iterations (N); default 10000")
    ap.add_argument("--annotate", metavar="CASE", choices=list(CASES),
                    help=f"where one case's instructions go, module against Python "
                         f"({', '.join(CASES)})")
    ap.add_argument("--c-nodes", action="store_true",
                    help="with --annotate: the fake camera's nodes have built-in methods")
    ap.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--only", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        child(args.n, tuple(args.only.split(":")) if args.only else None, args.c_nodes)
        return 0
    if shutil.which("valgrind") is None:
        print("valgrind is not installed", file=sys.stderr)
        return 1
    if args.annotate:
        annotate(args.annotate, args.n, args.c_nodes)
        return 0
    verdict = []
    for c_nodes in (False, True):
        per, empty = measure(args.n, c_nodes)
        above = table(per, empty, args.n, c_nodes)
        verdict.append(f"{'built-in' if c_nodes else 'Python'} nodes: {', '.join(above) or 'none'}")
    print("module/python above 1.0 with " + "; with ".join(verdict))
    return 0


if __name__ == "__main__":
    sys.exit(main())
