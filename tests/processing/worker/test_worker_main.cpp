// Runs the production worker entry, so the tests also cover how the test job kinds are gated: started
// with "--extraction-worker --enable-test-jobs" it serves them, without the second flag it refuses them.
#include "processing/worker/extraction_worker.h"

int main(int argc, char** argv) { return lumidex::extractionWorkerMain(argc, argv); }
