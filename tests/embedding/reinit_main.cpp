// A host that embeds Python again and again in one process: initialise, import the module, run
// one message through the bridge, finalise; then the same again. Nothing the module or its
// runtime made may outlive the interpreter that made it.
//
//     embed_reinit ROUNDS [twin]
//
// "twin" runs the same round trip through the bridge's `async def` twin instead of the module,
// which shows what the interpreter itself keeps from one lifetime to the next. On a debug
// interpreter each round first prints "alive R B": the references and memory blocks alive just
// after initialisation, which include whatever earlier interpreters left behind. The suite runs it
// with PYTHONPATH naming the build directory and the tests (for the fake host). Exits 0 after all
// rounds, non-zero (or by a crash) otherwise.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr const char* round_trip = R"PY(
import sys

if hasattr(sys, "gettotalrefcount"):
    print("alive", sys.gettotalrefcount(), sys.getallocatedblocks())

import asyncio

from bridge.fakes import Host, text, until

host = Host()
sys.modules["kavori.gateway.server"] = host.server
sys.modules["kavori.gateway.ws"] = host.ws_module
if sys.argv[2] == "twin":
    import importlib.util

    from bridge.fakes import REPO_ROOT

    twin_path = REPO_ROOT / "bench" / "telegram_bridge_twin.py"
    spec = importlib.util.spec_from_file_location("telegram_bridge_twin", twin_path)
    twin = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(twin)
    bridge = twin.TelegramBridge()
else:
    import kavori.connectors.telegram_bridge as tb

    bridge = tb.get_telegram_bridge()
host.agent.script(text("pong"))


async def main():
    await bridge.start()
    await host.telegram.handlers[-1]("ping", {"chat_id": 9, "from_name": "Ann"})
    await until(lambda: host.sent() and not bridge._processing)
    await bridge.stop()


asyncio.run(main())
assert host.sent() == ["pong"], host.sent()
print("round trip", sys.argv[1])
)PY";

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::atoi(argv[1]) : 2;
  const wchar_t* kind = argc > 2 && std::string(argv[2]) == "twin" ? L"twin" : L"module";
  for (int round = 1; round <= rounds; ++round) {
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    config.parse_argv = 0;  // the arguments are for the script, not options of the interpreter
    std::wstring number = std::to_wstring(round);
    const wchar_t* script_argv[] = {L"reinit", number.c_str(), kind};
    PyStatus status = PyConfig_SetArgv(&config, 3, const_cast<wchar_t* const*>(script_argv));
    if (PyStatus_Exception(status) == 0) status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status) != 0) Py_ExitStatusException(status);
    int failed = PyRun_SimpleString(round_trip);
    if (Py_FinalizeEx() < 0) failed = 1;
    if (failed != 0) {
      std::fprintf(stderr, "reinit: round %d failed\n", round);
      return 1;
    }
  }
  return 0;
}
