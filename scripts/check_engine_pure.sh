#!/usr/bin/env bash
# The engine under src/engine is plain C++: no file there may include Python's
# headers or a header of the binding folders (which include them). Fails and
# names the lines otherwise.
cd "$(dirname "$0")/.."
offending=$(grep -rnE '#\s*include\s*[<"](Python\.h|structmember\.h|module/|aes/|container/|native/)' src/engine)
if [ -n "$offending" ]; then
  echo "src/engine includes Python or binding headers:"
  echo "$offending"
  exit 1
fi
echo "src/engine: no Python or binding headers"
