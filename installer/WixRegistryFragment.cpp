#include "installer/WixRegistryFragment.h"

#include "registry/RegistryCodes.h"
#include "registry/RegistryScript.h"
#include "installer/RegistryEntryRecorder.h"

#include <cstdio>
#include <new>
#include <string>
#include <vector>

namespace {

using Keys = std::vector<CRegistryEntryRecorder::Key>;

std::string ResultText(std::int32_t result) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(result));
  return text;
}

// A text for a formatted column of the package (keys, names and values are
// all formatted): brackets escaped, except in the installer's own references
// that stand for the module's path and folder.
std::string Formatted(const std::string& text, const std::vector<std::string>& references) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    bool kept = false;
    for (const std::string& reference : references) {
      if (text.compare(i, reference.size(), reference) == 0) {
        out += reference;
        i += reference.size();
        kept = true;
        break;
      }
    }
    if (kept) continue;
    if (text[i] == '[') {
      out += "[\\[]";
    } else if (text[i] == ']') {
      out += "[\\]]";
    } else {
      out += text[i];
    }
    ++i;
  }
  return out;
}

std::string XmlAttribute(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

bool StartsWithIgnoringCase(const std::string& text, const std::string& lowerPrefix) {
  if (text.size() < lowerPrefix.size()) return false;
  for (std::size_t i = 0; i < lowerPrefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lowerPrefix[i]) return false;
  }
  return true;
}

bool IsInterfaceKey(const CRegistryEntryRecorder::Key& key) {
  return key.root == "HKCR" && StartsWithIgnoringCase(key.path, "interface\\");
}

// The type library's and the interfaces' entries that name no installed file
// or folder: the packages of both bitnesses write them alike, to keys that
// both views share (the type library) or to the 32-bit view (the interfaces).
bool IsShared(const CRegistryEntryRecorder::Key& key, const CRegistryEntryRecorder::Value& value,
              const std::vector<std::string>& references) {
  if (key.root != "HKCR" || !(IsInterfaceKey(key) || StartsWithIgnoringCase(key.path, "typelib\\"))) return false;
  for (const std::string& reference : references) {
    if (value.text.find(reference) != std::string::npos) return false;
  }
  return true;
}

// One component with the values that select() picks; nothing when it picks none.
template <typename Select>
void WriteComponent(const Keys& keys, const std::string& id, bool win64, const std::vector<std::string>& references,
                    Select select, std::string& out) {
  std::string values;
  bool keyPath = true;  // the first value tells the Windows Installer whether the component is there
  for (const CRegistryEntryRecorder::Key& key : keys) {
    for (const CRegistryEntryRecorder::Value& value : key.values) {
      if (!select(key, value)) continue;
      values += "      <RegistryValue Root=\"" + key.root + "\" Key=\"" +
                XmlAttribute(Formatted(key.path, references)) + "\"";
      if (!value.name.empty()) values += " Name=\"" + XmlAttribute(Formatted(value.name, references)) + "\"";
      if (value.type == kRegDword) {
        values += " Type=\"integer\" Value=\"" + value.text + "\"";
      } else {
        values += " Type=\"string\" Value=\"" + XmlAttribute(Formatted(value.text, references)) + "\"";
      }
      if (keyPath) values += " KeyPath=\"yes\"";
      keyPath = false;
      values += "/>\n";
    }
  }
  if (values.empty()) return;
  out += "    <Component Id=\"" + id + "\" Guid=\"*\" Win64=\"" + (win64 ? "yes" : "no") + "\">\n" + values +
         "    </Component>\n";
}

std::int32_t Record(CRegistryEntryRecorder& recorder, const WixRegistryRequest& request, const std::string& script,
                    const std::string& module, std::string* failure) {
  CRegistryScript interpreter(recorder, request.convertNumber);
  std::int32_t result = interpreter.AddReplacement("APPID", "");
  if (!Failed(result)) result = interpreter.AddReplacement("Module", module.c_str());
  if (!Failed(result)) result = interpreter.Run(script.c_str(), true);
  if (!recorder.Finish() || Failed(result)) {
    *failure = recorder.Refusal().empty() ? "the registry script fails with " + ResultText(result)
                                          : "unsupported: " + recorder.Refusal();
    return Failed(result) ? result : kEFail;
  }
  return kSOk;
}

}  // namespace

std::int32_t BuildWixRegistryFragment(const WixRegistryRequest& request, std::string* fragment,
                                      std::string* failure) {
  try {
    const std::string module = "[#" + request.fileId + "]";
    const std::string folder = "[" + request.directoryId + "]";
    CRegistryEntryRecorder recorder;
    std::int32_t result = Record(recorder, request, request.script, module, failure);
    if (Failed(result)) return result;
    if (request.typeLibrary) {
      TypeLibraryEntry library = *request.typeLibrary;
      library.path = module;
      library.helpDirectory = folder;
      result = Record(recorder, request, BuildTypeLibraryScript(library), module, failure);
      if (Failed(result)) return result;
    }
    const Keys keys = recorder.Keys();
    if (keys.empty()) {
      *failure = "the registry script writes nothing";
      return kEFail;
    }
    const std::vector<std::string> references{module, folder};
    std::string out =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<!-- Generated at build time from the component's registry script and type library. -->\n"
        "<Include>\n"
        "  <ComponentGroup Id=\"" + request.groupId + "\" Directory=\"" + request.directoryId + "\">\n";
    using Key = CRegistryEntryRecorder::Key;
    using Value = CRegistryEntryRecorder::Value;
    // The 64-bit package also keeps the interfaces in its own view, as the
    // platform's 64-bit registration writes them into both.
    WriteComponent(keys, request.componentId, request.win64, references,
                   [&](const Key& key, const Value& value) {
                     return !IsShared(key, value, references) || (request.win64 && IsInterfaceKey(key));
                   },
                   out);
    WriteComponent(keys, request.sharedComponentId, false, references,
                   [&](const Key& key, const Value& value) { return IsShared(key, value, references); }, out);
    out += "  </ComponentGroup>\n</Include>\n";
    *fragment = out;
    return kSOk;
  } catch (const std::bad_alloc&) {
    *failure = "out of memory";
    return kEOutOfMemory;
  }
}
