// SPDX-License-Identifier: Apache-2.0
// The administrative templates (ADMX and its en-US ADML), made from the policy table so that
// what an administrator can set is exactly what the broker reads.
#include <string>
#include "policy/admin_policy.h"

namespace tarnvel::policy {

namespace {

constexpr const char* kKey = "Software\\Policies\\Tarnvel\\Broker";
constexpr const char* kXmlns =
    "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "revision=\"1.0\" schemaVersion=\"1.0\" xmlns=\"http://schemas.microsoft.com/GroupPolicy/2006/07/"
    "PolicyDefinitions\"";

std::string XmlText(const char* s) {
  std::string out;
  for (; *s != '\0'; ++s) {
    switch (*s) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += *s;
    }
  }
  return out;
}

}  // namespace

std::string AdminTemplateAdmx() {
  std::string x = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
  x += std::string("<policyDefinitions ") + kXmlns + ">\n";
  x += "  <policyNamespaces>\n    <target prefix=\"tarnvel\" namespace=\"Tarnvel.Policies.Broker\" />\n";
  x += "  </policyNamespaces>\n  <resources minRequiredRevision=\"1.0\" />\n";
  x += "  <supportedOn>\n    <definitions>\n";
  x += "      <definition name=\"SUPPORTED_Broker\" displayName=\"$(string.SUPPORTED_Broker)\" />\n";
  x += "    </definitions>\n  </supportedOn>\n";
  x += "  <categories>\n    <category name=\"TarnvelBroker\" displayName=\"$(string.TarnvelBroker)\" />\n";
  x += "  </categories>\n  <policies>\n";
  for (const AdminPolicyRow& row : kAdminPolicies) {
    const std::string name = row.name;
    x += "    <policy name=\"" + name + "\" class=\"Both\" displayName=\"$(string." + name +
         ")\" explainText=\"$(string." + name + "_Explain)\" key=\"" + kKey + "\"";
    if (row.kind == AdminValueKind::Switch) {
      x += " valueName=\"" + name + "\">\n";
    } else {
      x += " presentation=\"$(presentation." + name + ")\">\n";
    }
    x += "      <parentCategory ref=\"TarnvelBroker\" />\n      <supportedOn ref=\"SUPPORTED_Broker\" />\n";
    if (row.kind == AdminValueKind::Switch) {
      x += "      <enabledValue>\n        <decimal value=\"1\" />\n      </enabledValue>\n";
      x += "      <disabledValue>\n        <decimal value=\"0\" />\n      </disabledValue>\n";
    } else {
      x +=
          "      <elements>\n        <multiText id=\"" + name + "\" valueName=\"" + name + "\" />\n      </elements>\n";
    }
    x += "    </policy>\n";
  }
  x += "  </policies>\n</policyDefinitions>\n";
  return x;
}

std::string AdminTemplateAdml() {
  std::string x = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
  x += std::string("<policyDefinitionResources ") + kXmlns + ">\n";
  x += "  <displayName>TarnvelBroker</displayName>\n";
  x += "  <description>Administrator policies of TarnvelBroker; they only narrow its built-in rules.</description>\n";
  x += "  <resources>\n    <stringTable>\n";
  x += "      <string id=\"TarnvelBroker\">TarnvelBroker</string>\n";
  x += "      <string id=\"SUPPORTED_Broker\">TarnvelBroker with administrator policies</string>\n";
  for (const AdminPolicyRow& row : kAdminPolicies) {
    const std::string name = row.name;
    x += "      <string id=\"" + name + "\">" + XmlText(row.title) + "</string>\n";
    std::string explain = XmlText(row.narrows);
    if (row.refusal != nullptr) explain += "&#xD;&#xA;&#xD;&#xA;Refusal line: [TarnvelBroker] " + XmlText(row.refusal);
    x += "      <string id=\"" + name + "_Explain\">" + explain + "</string>\n";
  }
  x += "    </stringTable>\n    <presentationTable>\n";
  for (const AdminPolicyRow& row : kAdminPolicies) {
    if (row.kind != AdminValueKind::List) continue;
    const std::string name = row.name;
    x += "      <presentation id=\"" + name + "\">\n        <multiTextBox refId=\"" + name + "\">" +
         XmlText(row.title) + " (one per line)</multiTextBox>\n      </presentation>\n";
  }
  x += "    </presentationTable>\n  </resources>\n</policyDefinitionResources>\n";
  return x;
}

}  // namespace tarnvel::policy
