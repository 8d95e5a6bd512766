#include "registry/TypeLibraryScript.h"

#include <cstdio>

namespace {

// A quoted text of the script: apostrophes doubled, percent signs doubled
// so the replacement pass leaves them alone.
std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    quoted += c;
    if (c == '\'' || c == '%') quoted += c;
  }
  return quoted + "'";
}

std::string Hex(std::uint32_t number) {
  char text[12];
  std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(number));
  return text;
}

}  // namespace

std::string BuildTypeLibraryScript(const TypeLibraryEntry& entry) {
  const std::string version = Hex(entry.majorVersion) + "." + Hex(entry.minorVersion);
  std::string script =
      "HKCR\r\n"
      "{\r\n"
      "\tNoRemove TypeLib\r\n"
      "\t{\r\n"
      "\t\t" + entry.libraryId + "\r\n"
      "\t\t{\r\n"
      "\t\t\tForceRemove " + version + " = s " + Quoted(entry.description) + "\r\n"
      "\t\t\t{\r\n"
      "\t\t\t\t" + Hex(entry.lcid) + "\r\n"
      "\t\t\t\t{\r\n"
      "\t\t\t\t\t" + entry.platform + " = s " + Quoted(entry.path) + "\r\n"
      "\t\t\t\t}\r\n"
      "\t\t\t\tFLAGS = s '" + std::to_string(entry.flags) + "'\r\n"
      "\t\t\t\tHELPDIR = s " + Quoted(entry.helpDirectory) + "\r\n"
      "\t\t\t}\r\n"
      "\t\t}\r\n"
      "\t}\r\n";
  if (!entry.interfaces.empty()) {
    script += "\tNoRemove Interface\r\n\t{\r\n";
    for (const TypeLibraryEntry::Interface& item : entry.interfaces) {
      script +=
          "\t\tForceRemove " + item.id + " = s " + Quoted(item.name) + "\r\n"
          "\t\t{\r\n"
          "\t\t\tProxyStubClsid = s '" + item.proxyStubClassId + "'\r\n"
          "\t\t\tProxyStubClsid32 = s '" + item.proxyStubClassId + "'\r\n"
          "\t\t\tTypeLib = s '" + entry.libraryId + "'\r\n"
          "\t\t\t{\r\n"
          "\t\t\t\tval Version = s '" + version + "'\r\n"
          "\t\t\t}\r\n"
          "\t\t}\r\n";
    }
    script += "\t}\r\n";
  }
  return script + "}\r\n";
}
