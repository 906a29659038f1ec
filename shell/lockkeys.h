// The lock keys' real states, for the status bar's CAP, NUM and SCRL indicators.
#pragma once

namespace tamix::shell {

struct LockKeys {
    bool known = false; // false where the display cannot tell (not X11)
    bool caps = false;
    bool num = false;
    bool scroll = false;
};

LockKeys ReadLockKeys();

} // namespace tamix::shell
