#include "processing/mail_attachment_jobs.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/media_fixtures.h"
#include "platform/subprocess.h"
#include "processing/worker/extraction_worker_pool.h"

namespace lumidex::processing {
namespace {

using namespace std::chrono_literals;

// This test binary is its own worker (test_main.cpp), serving the production kinds.
TEST(MailAttachmentWorker, ReadsPdfsInAWorkerAndFailsBrokenOnesAlone) {
    ExtractionWorkerPoolOptions options;
    options.workerExecutable = platform::currentExecutable();
    options.workerCount = 1;
    ExtractionWorkerPool pool(options);
    WorkerAttachmentDecoder decoder(pool);
    const auto later = WorkerAttachmentDecoder::Clock::now() + 60s;

    lumidex::testing::PdfPageFixture page;
    page.lines.push_back(lumidex::testing::PdfTextLine{72, 700, 12, "Delivery note for the harbour warehouse, pallet seven"});
    const std::string pdf = lumidex::testing::makePdf({page});
    mail::AttachmentDecodeRequest request;
    request.name = "note.pdf";
    request.kind = mail::AttachmentKind::pdf;
    request.bytes = pdf;
    const mail::AttachmentDecodeOutcome read = decoder.decode(request, later);
    EXPECT_FALSE(read.error) << read.error.value_or("");
    EXPECT_EQ(read.text, "[page 1 native]\nDelivery note for the harbour warehouse, pallet seven");

    request.bytes = "%PDF-1.4 and nothing else";
    const mail::AttachmentDecodeOutcome broken = decoder.decode(request, later);
    EXPECT_EQ(broken.text, "");
    EXPECT_NE(broken.error.value_or("").find("Konnte PDF nicht oeffnen"), std::string::npos) << broken.error.value_or("");

    request.bytes = pdf;
    EXPECT_TRUE(decoder.decode(request, WorkerAttachmentDecoder::Clock::now()).error);
    EXPECT_EQ(decoder.decode(request, later).text, read.text);  // the worker still serves after a failure
}

}  // namespace
}  // namespace lumidex::processing
