// Makes a file's permission bits bind the calling thread for the lifetime of
// the object, root included: root passes them through CAP_DAC_OVERRIDE and
// CAP_DAC_READ_SEARCH, which are taken out of the thread's effective set and
// put back afterwards (they stay permitted, so no privilege is lost). For
// anyone else the bits bind anyway and nothing changes. ok() is false when
// root's capabilities could not be lowered; a test then has to skip.
#pragma once

#include <QtGlobal>

#if defined(Q_OS_LINUX)
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>

namespace vortal9::test {

class ModeBitsApply
{
public:
    ModeBitsApply()
    {
        if (::geteuid() != 0 || ::syscall(SYS_capget, &m_header, m_saved) != 0)
            return;
        __user_cap_data_struct lowered[_LINUX_CAPABILITY_U32S_3];
        std::copy(std::begin(m_saved), std::end(m_saved), std::begin(lowered));
        lowered[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        m_lowered = ::syscall(SYS_capset, &m_header, lowered) == 0;
    }
    ~ModeBitsApply()
    {
        if (m_lowered)
            ::syscall(SYS_capset, &m_header, m_saved);
    }
    ModeBitsApply(const ModeBitsApply &) = delete;
    ModeBitsApply &operator=(const ModeBitsApply &) = delete;

    bool ok() const { return m_lowered || ::geteuid() != 0; }

private:
    __user_cap_header_struct m_header { _LINUX_CAPABILITY_VERSION_3, 0 };
    __user_cap_data_struct m_saved[_LINUX_CAPABILITY_U32S_3] {};
    bool m_lowered = false;
};

} // namespace vortal9::test
#endif
