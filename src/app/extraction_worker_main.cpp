// `lumidex-extraction-worker`: the child process in which `lumidex-indexer` runs the document decoders
// (started with "--extraction-worker"). It is an executable of its own so that it keeps the C library's
// allocator: a page bitmap of tens of megabytes is made and dropped for every page, which the C library
// keeps mapped between pages while mimalloc hands it back to the kernel and faults it in again.
#include "processing/extractors/extractor_jobs.h"

int main(int argc, char** argv) { return lumidex::processing::extractorWorkerMain(argc, argv); }
