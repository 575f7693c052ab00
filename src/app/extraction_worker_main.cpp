// `lumidex-extraction-worker`: the child process in which `lumidex-indexer` runs the document decoders
// (started with "--extraction-worker"). It is an executable of its own so that it runs on the C library's
// allocator rather than the main program's: extractorWorkerMain tunes it so that the page bitmaps of tens
// of megabytes made and dropped for every page go back to the kernel, which bounds a worker's memory.
#include "processing/extractors/extractor_jobs.h"

int main(int argc, char** argv) { return lumidex::processing::extractorWorkerMain(argc, argv); }
