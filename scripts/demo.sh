#!/usr/bin/env bash
# Builds zuldcore into a local virtualenv and runs the demo on a generated
# clinical-like event log.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x .venv/bin/python ] || "${PYTHON:-python3}" -m venv .venv
.venv/bin/python -m pip install -q --upgrade pip >/dev/null
.venv/bin/python -m pip install -q -r <(.venv/bin/python scripts/requirements.py build tools)
.venv/bin/python -m pip install -q --no-build-isolation .
cd examples && ../.venv/bin/python demo.py
