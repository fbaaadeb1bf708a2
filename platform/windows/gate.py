"""The Windows gate: builds the runtime, the module and the test modules for 64-bit Windows with
the MinGW-w64 UCRT cross toolchain, through the project's CMake (cmake/windows-x64-mingw.cmake),
warnings as errors, and checks what came out. Compiled and linked only: nothing here runs on
Windows.

  python3.14 platform/windows/gate.py [BUILD_DIR]     (default build/windows)

CPython's headers are this interpreter's, copied, with platform/windows/pyconfig.h in place of
the build machine's configuration header; python_layouts.cpp checks that the structures the code
relies on have the same layout with it as on this machine. python314.dll's import library is made
from what the compiled objects import. Exits non-zero on the first failure.
"""

import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig
import time

TRIPLE = "x86_64-w64-mingw32ucrt"
REPO = pathlib.Path(__file__).resolve().parents[2]
HERE = REPO / "platform" / "windows"
SYSTEM_DLLS = re.compile(r"KERNEL32\.dll|api-ms-win-crt-[a-z0-9-]+\.dll", re.I)


def note(text: str) -> None:
    print(f"---- {text}", flush=True)


def run(*command: str | pathlib.Path, **options) -> subprocess.CompletedProcess:
    return subprocess.run([str(part) for part in command], check=True, **options)


def output(*command: str | pathlib.Path) -> str:
    return run(*command, capture_output=True, text=True).stdout


def write_if_changed(path: pathlib.Path, text: str) -> bool:
    if path.exists() and path.read_text() == text:
        return False
    path.write_text(text)
    return True


def prepare_headers(build: pathlib.Path) -> pathlib.Path:
    """CPython's public headers with the Windows configuration header. copy2 keeps the files'
    times, so an unchanged header rebuilds nothing."""
    source = pathlib.Path(sysconfig.get_paths()["include"])
    target = build / "python-include" / source.name
    shutil.copytree(source, target, symlinks=False, dirs_exist_ok=True, copy_function=shutil.copy2)
    shutil.copy2(HERE / "pyconfig.h", target / "pyconfig.h")
    return target


def data_names(headers: pathlib.Path) -> set[str]:
    """Names the headers declare with PyAPI_DATA: the import library marks them DATA (they are
    reached through their import slot, never called)."""
    declaration = re.compile(r"PyAPI_DATA\((?:[^()]|\([^()]*\))*\)\s*(\w+)")
    names = set()
    for header in headers.rglob("*.h"):
        names.update(declaration.findall(header.read_text(errors="replace")))
    return names


def make_import_library(build: pathlib.Path, headers: pathlib.Path, objects: list[pathlib.Path]):
    """python314.dll's import library, with exactly the interpreter's names the objects import:
    through the import slot (__imp_NAME), or, for a function whose address is a static
    initializer, through the library's thunk (NAME)."""
    imported = set()
    for line in output(f"{TRIPLE}-nm", "-u", *objects).splitlines():
        match = re.fullmatch(r"\s*U (?:__imp_)?(_?Py\w+)", line)
        if match:
            imported.add(match[1])
    if not imported:
        raise SystemExit("windows gate: the objects import nothing from python314.dll")
    data = data_names(headers)
    lines = [f"{name} DATA" if name in data else name for name in sorted(imported)]
    note(f"python314.dll: {len(lines)} names imported, {sum(n in data for n in imported)} of "
         "them data")
    directory = build / "python314"
    definition = directory / "python314.def"
    library = directory / "libpython314.dll.a"
    if write_if_changed(definition, "LIBRARY python314.dll\nEXPORTS\n" + "\n".join(lines) + "\n") \
            or not library.exists():
        run(f"{TRIPLE}-dlltool", "-d", definition, "-D", "python314.dll", "-l", library)


def configure(build: pathlib.Path, headers: pathlib.Path) -> None:
    library = build / "python314" / "libpython314.dll.a"
    if not library.exists():
        # FindPython wants the library at configure time, before there are objects to make it
        # from: an empty one until the real one replaces it (which relinks every module).
        library.parent.mkdir(parents=True, exist_ok=True)
        empty = library.parent / "empty.def"
        empty.write_text("LIBRARY python314.dll\nEXPORTS\n")
        run(f"{TRIPLE}-dlltool", "-d", empty, "-D", "python314.dll", "-l", library)
    run("cmake", "-S", REPO, "-B", build, "-G", "Ninja", "--log-level=WARNING",
        f"-DCMAKE_TOOLCHAIN_FILE={REPO / 'cmake' / 'windows-x64-mingw.cmake'}",
        "-DCMAKE_BUILD_TYPE=Release", "-DKAVORI_WERROR=ON", f"-DPython_EXECUTABLE={sys.executable}",
        f"-DPython_INCLUDE_DIR={headers}", f"-DPython_LIBRARY={library}")


def object_files(build: pathlib.Path) -> list[str]:
    targets = output("ninja", "-C", build, "-t", "targets", "all")
    return sorted(line.split(":")[0] for line in targets.splitlines()
                  if re.match(r"[^:]+\.obj: CXX_COMPILER", line))


def check_binary(path: pathlib.Path) -> list[str]:
    """Problems with what a module exports and imports: only its init function leaves it, and it
    needs only python314.dll and the system's DLLs (the C runtime through the UCRT's API sets)."""
    dump = output(f"{TRIPLE}-objdump", "-p", path)
    dlls = re.findall(r"^\s*DLL Name: (\S+)", dump, re.M)
    table = dump.split("[Ordinal/Name Pointer] Table", 1)
    exports = re.findall(r"^\s*\[\s*\d+\].*\s(\S+)$", table[1].split("\n\n", 1)[0], re.M) \
        if len(table) == 2 else []
    # Every exported address, named or by ordinal only.
    addresses = re.search(r"^\s*Export Address Table\s+([0-9a-f]+)$", dump, re.M)
    problems = []
    expected = "PyInit_" + path.name.split(".", 1)[0]
    if exports != [expected] or not addresses or int(addresses[1], 16) != 1:
        problems.append(f"{path.name} exports {exports}, not only {expected}")
    others = [dll for dll in dlls if dll != "python314.dll" and not SYSTEM_DLLS.fullmatch(dll)]
    if "python314.dll" not in dlls or others:
        problems.append(f"{path.name} imports from {dlls}")
    print(f"{path.relative_to(REPO)}: exports {', '.join(exports)}; imports {', '.join(dlls)}")
    return problems


def check_layouts(build: pathlib.Path, headers: pathlib.Path) -> None:
    """The layout facts of this machine's build, asserted in a Windows compile."""
    source = HERE / "python_layouts.cpp"
    printer = build / "layouts" / "print_layouts"
    printer.parent.mkdir(parents=True, exist_ok=True)
    native = sysconfig.get_paths()["include"]
    run("g++", "-std=c++20", "-Wall", "-Wextra", "-Werror", f"-I{native}", "-DKAVORI_PRINT_LAYOUTS",
        source, "-o", printer)
    expected = printer.parent / "expected.inc"
    expected.write_text(output(printer))
    count = len(expected.read_text().splitlines())
    run(f"{TRIPLE}-g++", "-std=c++20", "-Wall", "-Wextra", "-Werror", "-fsyntax-only",
        f"-I{headers}", f'-DKAVORI_EXPECTED_LAYOUTS="{expected}"', source)
    note(f"{count} layout facts of CPython's structures agree with this machine's build")


def main() -> None:
    started = time.monotonic()
    build = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else REPO / "build" / "windows")
    build = build.resolve()
    build.mkdir(parents=True, exist_ok=True)
    note(output(f"{TRIPLE}-g++", "--version").splitlines()[0])
    headers = prepare_headers(build)
    check_layouts(build, headers)
    configure(build, headers)
    objects = object_files(build)
    note(f"compiling {len(objects)} objects")
    run("cmake", "--build", build, "-j2", "--target", *objects)
    make_import_library(build, headers, [build / name for name in objects])
    note("linking")
    run("cmake", "--build", build, "-j2")
    modules = sorted(build.rglob("*.cp314-win_amd64.pyd"))
    bridge = build / "kavori" / "connectors" / "telegram_bridge.cp314-win_amd64.pyd"
    if bridge not in modules:
        raise SystemExit(f"windows gate: {bridge} was not built")
    problems = [problem for module in modules for problem in check_binary(module)]
    if problems:
        raise SystemExit("windows gate: " + "; ".join(problems))
    note(f"windows gate passed in {time.monotonic() - started:.0f}s")


if __name__ == "__main__":
    try:
        main()
    except subprocess.CalledProcessError as failure:
        raise SystemExit(f"windows gate: {failure.cmd[0]} failed (exit code {failure.returncode})")
