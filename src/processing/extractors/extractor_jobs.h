// The extractors as job kinds of the extraction worker (processing/worker/extraction_worker.h):
//   "extract.pdf", "extract.image", "extract.text"  options: ExtractionJobOptions (extraction_result.h);
//       result: ExtractionResult; one progress message {"page": i, "recognised": bool} per finished page.
//   "enrich.pdf"  recognises the options' "pages" of a PDF; result: ExtractionResult whose text is the
//       joined transcripts (state error when the document cannot be opened), progress as above.
//   "previews.pdf"  draws the thumbnails of the options' "pages"; result: ExtractionResult, complete with
//       totalPageCount the number drawn, or error when the document cannot be opened; no progress.
// Previews are written by the worker itself, through its own thumbnail write queue, into the options'
// data directory; a job returns once its previews are on disk. Recognition uses one engine per worker
// (a worker serves one job at a time). Extractor log lines go back to Lumidex through the job's
// progress sink. A file that cannot be read is a result with state error, not a failed job.
#pragma once

namespace lumidex {
class JobRegistry;
}

namespace lumidex::processing {

void registerExtractorJobs(JobRegistry& jobs);

// The hidden worker mode of the lumidex executable (argv[1] is "--extraction-worker"): the worker's
// own production kinds plus the extractor kinds, and the test kinds when "--enable-test-jobs" follows.
int extractorWorkerMain(int argc, char** argv);

}  // namespace lumidex::processing
