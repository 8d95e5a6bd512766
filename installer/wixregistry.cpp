// Build-time generator of an installer package's registry entries: runs the
// component's registry script and its type library's registration through the
// script interpreter, records what they would write and prints it as a WiX
// include file. Anything the package cannot express fails the build.
//
//   wixregistry SCRIPT TYPELIB OUTPUT FILE_ID DIRECTORY_ID GROUP_ID COMPONENT_ID SHARED_COMPONENT_ID x64|x86
//
// (see WixRegistryRequest for the Ids).

#include <windows.h>
#include <oleauto.h>
#include <shellapi.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <new>
#include <string>

#include "component/RegistryText.h"
#include "component/TypeLibraryDescription.h"
#include "registry/Win32RegistryAccess.h"
#include "common/ComPtr.h"
#include "installer/WixRegistryFragment.h"

namespace {

std::string Narrow(const wchar_t* text) {
  std::string converted;
  if (FAILED(ExactRegistryText(text, converted))) return std::string();
  return converted;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "wixregistry: %s\n", message.c_str());
  return 1;
}

int Generate(int argc, wchar_t** argv) {
  if (argc != 10) {
    return Fail(
        "usage: wixregistry SCRIPT TYPELIB OUTPUT FILE_ID DIRECTORY_ID GROUP_ID COMPONENT_ID SHARED_COMPONENT_ID "
        "x64|x86");
  }
  const std::string architecture = Narrow(argv[9]);
  if (architecture != "x64" && architecture != "x86") return Fail("the architecture is x64 or x86");

  WixRegistryRequest request;
  std::ifstream scriptFile(argv[1], std::ios::binary);
  if (!scriptFile) return Fail("cannot read the registry script " + Narrow(argv[1]));
  request.script.assign(std::istreambuf_iterator<char>(scriptFile), std::istreambuf_iterator<char>());

  ComPtr<ITypeLib> library;
  HRESULT hr = LoadTypeLibEx(argv[2], REGKIND_NONE, library.put());
  if (FAILED(hr)) return Fail("cannot load the type library " + Narrow(argv[2]));
  TypeLibraryEntry entry;
  hr = DescribeTypeLibrary(library.get(), entry);
  if (FAILED(hr)) return Fail("cannot describe the type library");
  request.typeLibrary = entry;

  request.fileId = Narrow(argv[4]);
  request.directoryId = Narrow(argv[5]);
  request.groupId = Narrow(argv[6]);
  request.componentId = Narrow(argv[7]);
  request.sharedComponentId = Narrow(argv[8]);
  request.win64 = architecture == "x64";
  request.convertNumber = &ConvertTextToUInt32;

  std::string fragment;
  std::string failure;
  if (FAILED(BuildWixRegistryFragment(request, &fragment, &failure))) return Fail(failure);
  std::ofstream output(argv[3], std::ios::binary | std::ios::trunc);
  output << fragment;
  output.close();
  if (!output) return Fail("cannot write " + Narrow(argv[3]));
  return 0;
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr) return Fail("cannot read the command line");
  int status = 1;
  try {
    status = Generate(argc, argv);
  } catch (const std::bad_alloc&) {
    status = Fail("out of memory");
  }
  LocalFree(argv);
  return status;
}
