import ctypes
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import nyxapi
from conftest import ROOT
from nyxapi import _library
from nyxapi.records import RECORDS

HEADER = ROOT / "api" / "nyx_api.h"


@pytest.mark.skipif(not HEADER.exists() or not shutil.which("cc"), reason="no header or no cc")
def test_records_and_prototypes_match_the_header(tmp_path):
    text = re.sub(r"/\*.*?\*/", "", HEADER.read_text(), flags=re.S)
    assert set(re.findall(r"\b(NyxApi\w+)\s*\(", text)) == set(_library.PROTOTYPES)
    fields = {name: re.findall(r"(\w+)\s*(?:\[\d+\])?\s*;", body)
              for name, body in re.findall(r"typedef struct (\w+) \{(.*?)\} \1;", text, re.S)}
    assert sorted(fields) == sorted(r.__name__ for r in RECORDS)
    lines = ['#include "api/nyx_api.h"', "#include <stdio.h>", "int main(void) {"]
    for record, names in fields.items():
        lines.append(f'printf("{record} %zu\\n", sizeof({record}));')
        lines += [f'printf("{record}.{f} %zu %zu\\n", offsetof({record}, {f}), '
                  f"sizeof((({record} *)0)->{f}));" for f in names]
    source = tmp_path / "layout.c"
    source.write_text("\n".join(lines + ["return 0;", "}"]))
    subprocess.run(["cc", "-std=c11", "-I", str(ROOT), "-o", str(tmp_path / "layout"), str(source)],
                   check=True)
    measured = subprocess.run([str(tmp_path / "layout")], check=True, capture_output=True,
                              text=True).stdout.splitlines()
    expected = []
    for record in RECORDS:
        expected.append(f"{record.__name__} {ctypes.sizeof(record)}")
        expected += [f"{record.__name__}.{name} {getattr(record, name).offset} "
                     f"{getattr(record, name).size}" for name, _ in record._fields_]
    assert measured == expected


def test_loader_says_where_it_looked(tmp_path):
    nowhere = str(tmp_path / "nowhere.so")
    with pytest.raises(nyxapi.LibraryNotFoundError) as missing:
        _library.load({_library.ENV_VAR: nowhere})
    assert missing.value.tried == [(_library.ENV_VAR, nowhere, "no such file")]

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
