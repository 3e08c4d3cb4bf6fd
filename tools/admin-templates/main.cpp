// SPDX-License-Identifier: Apache-2.0
// Writes the administrative templates made from the broker's policy table:
//   tarnvel-admin-templates DIR     DIR/TarnvelBroker.admx and DIR/en-US/TarnvelBroker.adml
//   tarnvel-admin-templates --names the registry value names the broker reads, one a line
// Pure: it builds and runs on the build machine, for the release zip.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include "policy/admin_policy.h"

namespace {

bool WriteFile(const std::string& path, const std::string& text) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  return std::fclose(f) == 0 && ok;
}

bool MakeDir(const std::string& path) {
  std::error_code error;
  std::filesystem::create_directories(path, error);
  return !error;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tarnvel::policy;
  if (argc != 2) {
    std::fprintf(stderr, "usage: tarnvel-admin-templates DIR | --names\n");
    return 2;
  }
  if (std::strcmp(argv[1], "--names") == 0) {
    for (const AdminPolicyRow& row : kAdminPolicies) std::printf("%s\n", row.name);
    return 0;
  }
  const std::string dir = argv[1];
  if (!MakeDir(dir + "/en-US") || !WriteFile(dir + "/TarnvelBroker.admx", AdminTemplateAdmx()) ||
      !WriteFile(dir + "/en-US/TarnvelBroker.adml", AdminTemplateAdml())) {
    std::fprintf(stderr, "tarnvel-admin-templates: cannot write below %s\n", dir.c_str());
    return 1;
  }
  return 0;
}
