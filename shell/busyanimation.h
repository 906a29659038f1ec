// The busy clip of the tool bar: 40 frames of 40 x 40 at 15 frames a second, from one
// image strip; still on frame 0 when not playing.
#pragma once

#include <QPixmap>
#include <QTimer>
#include <QWidget>

namespace tamix::shell {

class CBusyAnimation : public QWidget {
    Q_OBJECT
public:
    static constexpr int kFrames = 40;
    static constexpr int kSide = 40;
    static constexpr int kFrameMicroseconds = 66667;

    explicit CBusyAnimation(const QString& strip, QWidget* parent = nullptr);

    // Plays endlessly from frame 0.
    void Play();
    // Stops and shows frame 0.
    void Stop();
    bool IsPlaying() const { return m_timer.isActive(); }
    int Frame() const { return m_nFrame; }
    QSize sizeHint() const override { return {kSide, kSide}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPixmap m_strip;
    QTimer m_timer;
    int m_nFrame = 0;
};

} // namespace tamix::shell
