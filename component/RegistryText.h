#pragma once

#include <windows.h>

#include <string>

// Text for the registry's 8-bit functions, which read it in the system's
// ANSI code page: the one code page of every text that registration writes,
// whatever the calling thread's locale.

// The text in that code page, only when it converts back to the same text;
// ERROR_NO_UNICODE_TRANSLATION when a character has no exact form there (it
// would become '?' or a look-alike).
HRESULT ExactRegistryText(const wchar_t* text, std::string& converted);

// A file or folder name as registry text: the name itself when it converts
// exactly, else its short form, which names the same file in characters the
// code page has; ERROR_NO_UNICODE_TRANSLATION when neither does, rather than
// a name that finds nothing.
HRESULT RegistryPathText(const wchar_t* path, std::string& converted);
