#!/usr/bin/env bash
# Builds a wheel of the Python module as a user would (pip wheel of the repository, Debian's
# setuptools and wheel, no build isolation), installs it into a fresh virtual environment of the
# system interpreter and uses it there: the version, a frame decoded from the simulated sensor's
# datagrams, and the stub of the extension naming what the extension has.
#
#   wheel_test.sh SOURCE_DIR WORK
set -euo pipefail
source_dir=$1 work=$2
readonly python=/usr/bin/python3 skip=77

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
for module in setuptools wheel venv numpy; do
    "$python" -c "import $module" 2>/dev/null ||
        { echo "skipped: $python lacks $module (scripts/setup installs it)"; exit "$skip"; }
done

rm -rf "$work"
mkdir -p "$work"
echo "== pip wheel $source_dir"
# The wheel's build folder is the test's own, so a user's build/python is left alone.
TARN_PYTHON_BUILD_BASE=$work/build "$python" -m pip wheel "$source_dir" --no-build-isolation \
    --no-deps --no-index --wheel-dir "$work/dist" >"$work/wheel.log" 2>&1 || {
    tail -n 60 "$work/wheel.log"
    fail "pip wheel failed"
}
wheels=("$work"/dist/tarn-*.whl)
[ -f "${wheels[0]}" ] || fail "no tarn-*.whl built"
contents=$("$python" -m zipfile -l "${wheels[0]}")
for file in tarn/_tarn.pyi tarn/py.typed tarn/stream.py; do
    grep -q " *$file " <<<"$contents" || fail "the wheel lacks $file"
done
grep -q "libtarn_" <<<"$contents" && fail "the wheel carries a libtarn_ library beside the module"

echo "== a fresh virtual environment"
"$python" -m venv --system-site-packages "$work/venv"
"$work/venv/bin/python" -m pip install --no-deps --no-index "${wheels[0]}" >"$work/install.log" 2>&1 || {
    cat "$work/install.log"
    fail "pip install of the wheel failed"
}
# Run from the work folder: the module must come from the environment, not the sources.
cd "$work"
"$work/venv/bin/python" - "$source_dir/CMakeLists.txt" <<'PY' || fail "the installed module does not work"
import ast
import pathlib
import re
import sys

import tarn
from tarn import _tarn

location = pathlib.Path(tarn.__file__).resolve()
assert str(location).startswith(sys.prefix), f"tarn imported from {location}, not the environment"
version = re.search(r"project\(\s*tarn_c_sdk\s+VERSION\s+([0-9.]+)",
                    pathlib.Path(sys.argv[1]).read_text()).group(1)
assert tarn.__version__ == _tarn.version() == version, (tarn.__version__, version)

config = _tarn.SimConfig()
with tarn.Decoder() as decoder:
    frames = list(decoder.frames(config.encode_frame(0)))
assert len(frames) == 1 and frames[0].info.complete, frames
expected = config.expected(0, 0, 0)
assert abs(frames[0].points[0, 0]["distance"] - expected["distance"]) < 1e-3, expected

# Everything the extension offers is in its stub, and the stub offers nothing it lacks.
stub = ast.parse((location.parent / "_tarn.pyi").read_text())
declared = {node.name for node in stub.body if isinstance(node, (ast.FunctionDef, ast.ClassDef))}
declared |= {node.target.id for node in stub.body if isinstance(node, ast.AnnAssign)}
declared = {name for name in declared if not name.startswith("_")}
offered = {name for name in dir(_tarn) if not name.startswith("_")}
assert declared == offered, (f"missing from _tarn.pyi: {sorted(offered - declared)}; "
                             f"not in the extension: {sorted(declared - offered)}")
print(f"tarn {tarn.__version__} from {location.parent}")
PY
echo "== built, installed and used"
