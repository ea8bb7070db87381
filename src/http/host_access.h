#pragma once
// Reading server variables and request headers from the host into strings.
#include <windows.h>
#include <httpfilt.h>

#include <string>

// The variable's value; a value that does not fit the first 1024-byte buffer
// is read again into one of the size the host asks for. A failure is logged
// and reads as empty.
std::string GetServerVariableText(HTTP_FILTER_CONTEXT* pfc, const char* name);

// The request header's value (name with its trailing colon, as the host wants
// it); empty when the header is absent. A value longer than the first
// 1024-byte buffer is read again into one of the size the host asks for.
std::string GetRequestHeaderText(HTTP_FILTER_PREPROC_HEADERS* headers, HTTP_FILTER_CONTEXT* pfc, const char* name);
