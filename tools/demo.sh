#!/usr/bin/env bash
# The newcomer's demonstration: an update of the emulated device by the real pATU.exe.
echo "./run demo is not ready yet: it will start the device emulator on a pseudo-terminal,"
echo "map it as COM 1 in a private Wine prefix and run build/win64/pATU.exe against it."
exit 1
