// SPDX-License-Identifier: Apache-2.0
// A host application in miniature, built against the installed TarnvelBroker SDK: starts the
// broker, keeps a launch counter and a settings file for its plug-ins, and shuts down.
// Usage: host-session [PATH-OF-TarnvelBroker.exe]; without one, the broker beside TarnvelHost.dll.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include <tarnvel/host_client.h>

namespace th = tarnvel::host;

template <class T>
bool Report(const char* what, const th::Result<T>& r) {
  if (r.ok()) return true;
  std::printf("%s: %s, status %s\n", what, th::CallErrorName(r.call), th::RequestStatusName(r.status));
  return false;
}

int wmain(int argc, wchar_t** argv) {
  th::BrokerOptions options;
  if (argc > 1) options.exe = argv[1];
  options.onDebugLine = [](const std::string& line) { std::printf("  broker says: %s\n", line.c_str()); };

  th::Broker broker;
  if (!broker.Start(options)) {
    std::printf("cannot start the broker (failure %d, error %u, exit code %u)\n",
                static_cast<int>(broker.startFailure()), broker.windowsError(), broker.exitCode());
    return 1;
  }
  bool good = Report("ping", broker.Ping());

  const std::wstring key = L"Software\\Tarnvel\\HostSession";
  th::Result<uint32_t> launches = broker.ReadDword(th::Hive::CurrentUser, key, L"launches");
  uint32_t count = launches.ok() ? launches.value : 0;
  good &= Report("write launches", broker.WriteDword(th::Hive::CurrentUser, key, L"launches", count + 1));
  launches = broker.ReadDword(th::Hive::CurrentUser, key, L"launches");
  good &= Report("read launches", launches) && launches.value == count + 1;
  std::printf("launches: %u\n", launches.value);

  // Plug-in data files live in %APPDATA%\tarnvel\...; their bytes travel as hex inside.
  wchar_t appData[1024] = {};
  const size_t n = GetEnvironmentVariableW(L"APPDATA", appData, 1024);
  const std::wstring file = std::wstring(appData, n) + L"\\tarnvel\\host-session.bin";
  const std::vector<uint8_t> settings = {'v', 0x01, 0x00, 0xff};
  good &= Report("write file", broker.WriteDataFile(file, settings));
  th::Result<std::vector<uint8_t>> back = broker.ReadDataFile(file);
  good &= Report("read file", back) && back.value == settings;
  std::printf("settings file: %zu bytes\n", back.value.size());

  // Refused by policy: the local-machine hive is read-only. A status, not a failure of the call.
  th::Result<th::Done> refused = broker.WriteString(th::Hive::LocalMachine, key, L"x", L"y");
  std::printf("write to HKLM: %s\n", th::RequestStatusName(refused.status));
  good &= refused.call == th::CallError::None && refused.status == th::RequestStatus::Denied;

  good &= Report("clean up", broker.DeleteTree(th::Hive::CurrentUser, key));
  good &= Report("clean up file", broker.DeleteDataFile(file));

  th::ShutdownResult end = broker.Shutdown();
  std::printf("broker %s, exit code %u\n", end.exited ? "exited" : "was terminated", end.exitCode);
  good &= end.exited && end.exitCode == 0;
  std::printf("%s\n", good ? "session ok" : "session FAILED");
  return good ? 0 : 1;
}
