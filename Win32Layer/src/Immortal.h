#pragma once

#include <new>
#include <utility>

namespace tarn
{
namespace inet
{
// An object built in the module's static storage and never destroyed: threads and the host's
// static destructors may still use it while the process exits, and it holds no heap block of its
// own that would look lost once the module is unloaded.
template <typename T> class Immortal
{
public:
    template <typename... Args> explicit Immortal(Args&&... Arguments)
    {
        new (m_Storage) T(std::forward<Args>(Arguments)...);
    }
    T& Get() { return *std::launder(reinterpret_cast<T*>(m_Storage)); }

private:
    alignas(T) unsigned char m_Storage[sizeof(T)];
};
} // namespace inet
} // namespace tarn
