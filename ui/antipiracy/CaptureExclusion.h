#pragma once

class QWidget;

namespace AntiPiracy {

// Asks the system to leave this top-level window out of screen capture and
// recording. Returns whether the system took it: on Windows when the display
// affinity was accepted; elsewhere there is no portable way, so false.
// Whoever words a notice about protection must go by this answer.
bool applyCaptureExclusion(QWidget* window);

}  // namespace AntiPiracy
