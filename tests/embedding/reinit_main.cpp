// A host that embeds Python twice in one process: initialise, import the module, run one message
// through the bridge, finalise; then the same again. Nothing the module or its runtime made may
// outlive the first interpreter. The suite runs it with PYTHONPATH naming the build directory and
// the tests (for the fake host). Exits 0 after both rounds, non-zero (or by a crash) otherwise.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdio>
#include <initializer_list>

namespace {

constexpr const char* round_trip = R"PY(
import asyncio
import sys

from bridge.fakes import Host, text, until

host = Host()
sys.modules["kavori.gateway.server"] = host.server
sys.modules["kavori.gateway.ws"] = host.ws_module
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

int main() {
  for (const wchar_t* round : {L"1", L"2"}) {
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    config.parse_argv = 0;  // the arguments are for the script, not options of the interpreter
    const wchar_t* argv[] = {L"reinit", round};
    PyStatus status = PyConfig_SetArgv(&config, 2, const_cast<wchar_t* const*>(argv));
    if (PyStatus_Exception(status) == 0) status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status) != 0) Py_ExitStatusException(status);
    int failed = PyRun_SimpleString(round_trip);
    if (Py_FinalizeEx() < 0) failed = 1;
    if (failed != 0) {
      std::fprintf(stderr, "reinit: round %ls failed\n", round);
      return 1;
    }
  }
  return 0;
}
