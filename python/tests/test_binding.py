"""The binding against the C header and the library, without a manager."""

import ctypes
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

import pytest

import nyxapi
from conftest import ROOT
from nyxapi import _library
from nyxapi.records import RECORDS

HEADER = ROOT / "api" / "nyx_api.h"
needs_header = pytest.mark.skipif(not HEADER.exists(), reason="no api/nyx_api.h beside the package")


def header_fields() -> dict:
    """{record: [field, ...]} of every typedef'd struct in the header."""
    text = re.sub(r"/\*.*?\*/", "", HEADER.read_text(), flags=re.S)
    records = re.findall(r"typedef struct (\w+) \{(.*?)\} \1;", text, re.S)
    return {name: re.findall(r"(\w+)\s*(?:\[\d+\])?\s*;", body) for name, body in records}


@needs_header
@pytest.mark.skipif(not shutil.which("cc"), reason="no C compiler")
def test_records_match_the_c_layout(tmp_path):
    fields = header_fields()
    assert sorted(fields) == sorted(r.__name__ for r in RECORDS)
    lines = ['#include "api/nyx_api.h"', "#include <stdio.h>", "int main(void) {"]
    for record, names in fields.items():
        lines.append(f'printf("{record} %zu\\n", sizeof({record}));')
        for f in names:
            lines.append(f'printf("{record}.{f} %zu %zu\\n", offsetof({record}, {f}), '
                         f"sizeof((({record} *)0)->{f}));")
    source = tmp_path / "layout.c"
    source.write_text("\n".join(lines + ["return 0;", "}"]))
    subprocess.run(["cc", "-std=c11", "-I", str(ROOT), "-o", str(tmp_path / "layout"), str(source)],
                   check=True)
    measured = subprocess.run([str(tmp_path / "layout")], check=True, capture_output=True,
                              text=True).stdout.splitlines()

    expected = []
    for record in RECORDS:
        expected.append(f"{record.__name__} {ctypes.sizeof(record)}")
        for name, _ in record._fields_:
            field = getattr(record, name)
            expected.append(f"{record.__name__}.{name} {field.offset} {field.size}")
    assert measured == expected


@needs_header
def test_codes_and_exports_match_the_header():
    text = HEADER.read_text()
    found = {"Result": {}, "State": {}, "AudioInterface": {}, "Change": {}}
    for name, value in re.findall(r"NYXAPI_(\w+) = (\d+)", text):
        for prefix, enum in (("STATE_", "State"), ("AUDIO_INTERFACE_", "AudioInterface")):
            if name.startswith(prefix):
                found[enum][name[len(prefix):]] = int(value)
                break
        else:
            found["Result"][name] = int(value)
    for name, value in re.findall(r"#define NYXAPI_CHANGE_(\w+) \(\(NyxApiChanges\)(0x\w+)\)", text):
        found["Change"][name] = int(value, 16)
    for enum, values in found.items():
        assert {m.name: m.value for m in getattr(nyxapi, enum)} == values, enum

    exports = set(re.findall(r"\b(NyxApi\w+)\s*\(", text))
    assert len(exports) == 46 and exports == set(_library.PROTOTYPES)


def test_calls_cross_the_boundary_intact():
    lib = nyxapi.library()
    value = ctypes.c_uint32()
    lib.NyxApiGetPointer(ctypes.byref(value))
    target = ctypes.c_uint32()
    lib.NyxApiGetPointerPointer(ctypes.byref(ctypes.pointer(target)))
    assert (lib.NyxApiGetValue(), value.value, target.value) == (100, 200, 300)
    assert str(nyxapi.api_version()) == "1.0.0.0"
    assert all(nyxapi.status_description(s) for s in nyxapi.Status)
    assert nyxapi.status_description(0x0002) is None
    assert nyxapi.status_description(nyxapi.Status.RUNNING) == "System is running"
    with pytest.raises(ValueError):
        nyxapi.status_description(0x10000)


@pytest.mark.skipif(sys.platform == "win32", reason="the folder comes from the environment")
def test_collect_logs_starts_the_service_script(tmp_path, monkeypatch):
    tools = tmp_path / "Vantorel" / "Sonavel" / "Tools"
    tools.mkdir(parents=True)
    (tools / "collect-logs.bat").write_text(f'echo "$@" > "{tmp_path}/args"\n')
    monkeypatch.setenv("NYX_PROGRAM_FILES_X86", str(tmp_path))
    name = nyxapi.collect_logs("/tmp/Mitschnitt-Ü")
    assert re.fullmatch(r"nyx-log-\d{4}(-\d\d){5}\.zip", name)
    args = tmp_path / "args"
    for _ in range(100):  # the script runs detached
        if args.exists() and args.read_text().endswith("\n"):
            break
        time.sleep(0.05)
    assert args.read_text() == f"-s -f {name} -d /tmp/Mitschnitt-Ü\n"

    monkeypatch.setenv("NYX_PROGRAM_FILES_X86", str(tmp_path / "elsewhere"))
    with pytest.raises(nyxapi.OtherError):
        nyxapi.collect_logs()


def test_loader_says_where_it_looked(tmp_path):
    built = nyxapi.library()._name
    with pytest.raises(nyxapi.LibraryNotFoundError) as missing:
        _library.load({_library.ENV_VAR: str(tmp_path / "nowhere.so")})
    assert missing.value.tried == [(_library.ENV_VAR, str(tmp_path / "nowhere.so"), "no such file")]
    assert str(tmp_path / "nowhere.so") in str(missing.value)

    (tmp_path / "junk.so").write_text("not a library")
    with pytest.raises(nyxapi.LibraryNotFoundError, match="junk.so"):
        _library.load({_library.ENV_VAR: str(tmp_path / "junk.so")})

    # In a fresh process: here the library is loaded already and dlopen would find it by name.
    code = ("import sys, pathlib; from nyxapi import _library\n"
            "try: _library.load({}, pathlib.Path(sys.argv[1]))\n"
            "except _library.LibraryNotFoundError as e: print([p for p, _, _ in e.tried]); print(e)")
    env = {"PYTHONPATH": str(Path(nyxapi.__file__).parents[1]), "PATH": os.environ["PATH"]}
    out = subprocess.run([sys.executable, "-c", code, str(tmp_path)], env=env, check=True,
                         capture_output=True, text=True).stdout
    if not out:
        pytest.skip("a nyxapi library is installed on the system library path")
    places = "['next to the package', 'next to the package', 'system library path', 'system library path']"
    assert out.startswith(places + "\n") and str(tmp_path) in out

    shutil.copy(built, tmp_path / _library.library_names()[0])
    assert _library.load({}, here=tmp_path)._name.startswith(str(tmp_path))
    assert _library.load({_library.ENV_VAR: str(tmp_path)}).NyxApiGetValue() == 100
