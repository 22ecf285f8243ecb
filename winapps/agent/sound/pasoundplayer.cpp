#include "soundplayer.h"

// Until the PortAudio player is in place the installed player stays silent.
void installProductSoundPlayer() {}
