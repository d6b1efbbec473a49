// A Pictavo.dll that exports one function of the library only: the service must refuse it at
// start, naming the first function it lacks.
extern "C" int camInitCameraLib(void) { return 0; }
