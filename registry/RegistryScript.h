#pragma once

#include "registry/RegistryAccess.h"
#include "registry/RegistryValueEncoding.h"
#include "registry/ReplacementTable.h"
#include "registry/ScriptCharacters.h"

#include <cstddef>
#include <cstdint>

// Interpreter of registry scripts: in register mode it creates the keys and
// writes the values that a script names; in unregister mode it removes them
// again, except what the script marks "NoRemove" and, for forced removals, a
// fixed list of protected keys. A script that is not well formed changes
// nothing; a register run that fails is run once more in unregister mode, up
// to the failed block, to undo what it wrote.
//
// Script form, by example:
//   HKCR
//   {
//     NoRemove CLSID
//     {
//       ForceRemove {class id} = s 'Class name'
//       {
//         InprocServer32 = s '%MODULE%'
//         {
//           val ThreadingModel = s 'both'
//         }
//       }
//     }
//   }
class CRegistryScript {
 public:
  // Blocks nested deeper than this are refused (the registry itself holds no
  // deeper trees), so a script cannot exhaust the stack.
  static constexpr int kMaxNesting = 512;
  // Longest key or value name, in characters.
  static constexpr std::size_t kMaxNameCharacters = 259;

  // The registry, the converter and the lead-byte test (null for a
  // single-byte code page) must outlive the interpreter.
  CRegistryScript(IRegistryAccess& registry, NumberConverter convertNumber, LeadByteTest isLeadByte = nullptr) noexcept;

  // Adds a name that the script may refer to as %name% (compared without
  // regard to case) with its 8-bit text. E_INVALIDARG for a null name or
  // text, E_OUTOFMEMORY when it cannot be stored.
  std::int32_t AddReplacement(const char* name, const char* text) noexcept;

  // Runs a NUL-ended script. S_OK; the result of a failed registry function
  // (0x80070000 OR the low 16 bits of a positive Win32 error, the code itself
  // otherwise); the failure of a "D" value's conversion; E_OUTOFMEMORY;
  // E_FAIL; DISP_E_EXCEPTION for any error in the script's form; E_INVALIDARG
  // for a null script.
  std::int32_t Run(const char* scriptText, bool registerMode) noexcept;

 private:
  IRegistryAccess& registry;
  NumberConverter convertNumber;
  LeadByteTest isLeadByte;
  CReplacementTable replacements;
};
