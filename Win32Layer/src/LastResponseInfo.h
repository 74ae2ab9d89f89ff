#pragma once

namespace tarn
{
namespace inet
{
// Sets the calling thread's response info ("" clears it), cut to 511 characters.
void SetLastResponseInfo(const char* pszText);
} // namespace inet
} // namespace tarn
