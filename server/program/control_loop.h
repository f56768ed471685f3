// The control command loop: the main thread's work between start-up and shutdown. It answers
// each command line of the channel with exactly one reply line, until "stop" or the end of input.
#pragma once

namespace Ovrin {

class CControlChannel;

void SleepInControlLoop(CControlChannel& channel);

}  // namespace Ovrin
