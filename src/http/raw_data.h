#pragma once
// The host's raw-data record as an HttpMessage.
#include <windows.h>
#include <httpfilt.h>

#include "http/http_message.h"

inline HttpMessage HttpMessageFromRawData(const HTTP_FILTER_RAW_DATA& record) {
  return HttpMessage::FromRawDataRecord(record.pvInData, record.cbInData, record.cbInBuffer);
}
