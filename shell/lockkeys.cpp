#include "shell/lockkeys.h"

#include <QGuiApplication>

#include <X11/XKBlib.h>

namespace tamix::shell {

LockKeys ReadLockKeys() {
    LockKeys keys;
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    Display* display = x11 ? x11->display() : nullptr;
    if (!display) return keys;
    // By name, not by bit: servers number their indicators differently.
    const auto lit = [display](const char* name) {
        Bool on = False;
        const Atom atom = XInternAtom(display, name, False);
        return XkbGetNamedIndicator(display, atom, nullptr, &on, nullptr, nullptr) && on;
    };
    keys.known = true;
    keys.caps = lit("Caps Lock");
    keys.num = lit("Num Lock");
    keys.scroll = lit("Scroll Lock");
    return keys;
}

} // namespace tamix::shell
