#include "shell/busyanimation.h"

#include <QPainter>

namespace tamix::shell {

CBusyAnimation::CBusyAnimation(const QString& strip, QWidget* parent)
    : QWidget(parent), m_strip(strip) {
    setFixedSize(kSide, kSide);
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval((kFrameMicroseconds + 500) / 1000);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_nFrame = (m_nFrame + 1) % kFrames;
        update();
    });
}

void CBusyAnimation::Play() {
    m_nFrame = 0;
    m_timer.start();
    update();
}

void CBusyAnimation::Stop() {
    m_timer.stop();
    m_nFrame = 0;
    update();
}

void CBusyAnimation::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.drawPixmap(0, 0, m_strip, m_nFrame * kSide, 0, kSide, kSide);
}

} // namespace tamix::shell
