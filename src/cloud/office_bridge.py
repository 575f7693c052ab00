# Drives one headless office process through UNO so that many files are converted by one process.
#
# Started by Lumidex as `python3 -c <this file> SOFFICE PROFILE_URL PIPE_NAME`. It starts the office
# process (killed by the kernel when this script dies), connects to it, says
#   {"ready": true, "office_pid": N}                        or {"ready": false, "error": "..."}
# on stdout, then serves one request per stdin line:
#   {"id": 1, "input": "/a/b.docx", "pdf": "/x/b.pdf", "odf": "/x/b.odt" or ""}
# and answers each with one line:
#   {"id": 1, "ok": true}  or  {"id": 1, "ok": false, "kind": "permanent"|"locked"|"transient", "error": "..."}
# End of stdin ends both processes. Hangs and deaths are the caller's to detect (time limit, pipe end).
import ctypes
import json
import os
import signal
import subprocess
import sys
import time

import uno
from com.sun.star.beans import PropertyValue

PDF_FILTERS = {
    "com.sun.star.text.TextDocument": ("writer_pdf_Export", "writer8"),
    "com.sun.star.text.GlobalDocument": ("writer_pdf_Export", "writer8"),
    "com.sun.star.sheet.SpreadsheetDocument": ("calc_pdf_Export", "calc8"),
    "com.sun.star.presentation.PresentationDocument": ("impress_pdf_Export", "impress8"),
    "com.sun.star.drawing.DrawingDocument": ("draw_pdf_Export", "draw8"),
}


def props(**values):
    result = []
    for name, value in values.items():
        p = PropertyValue()
        p.Name = name
        p.Value = value
        result.append(p)
    return tuple(result)


def die_with_parent():
    # PR_SET_PDEATHSIG = 1: the office process gets SIGKILL when this script ends, however it ends.
    ctypes.CDLL("libc.so.6", use_errno=True).prctl(1, signal.SIGKILL)
    os.setpgid(0, 0)


def say(message):
    sys.stdout.write(json.dumps(message) + "\n")
    sys.stdout.flush()


def spawn_office(soffice, profile_url, pipe_name):
    return subprocess.Popen(
        [soffice, "--headless", "--invisible", "--nologo", "--norestore", "--nodefault", "--nolockcheck",
         "--nofirststartwizard", "-env:UserInstallation=" + profile_url,
         "--accept=pipe,name=" + pipe_name + ";urp;StarOffice.ComponentContext"],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        preexec_fn=die_with_parent)


def start_office(soffice, profile_url, pipe_name):
    office = spawn_office(soffice, profile_url, pipe_name)
    local = uno.getComponentContext()
    resolver = local.ServiceManager.createInstanceWithContext("com.sun.star.bridge.UnoUrlResolver", local)
    deadline = time.monotonic() + 60
    while True:
        try:
            context = resolver.resolve("uno:pipe,name=" + pipe_name + ";urp;StarOffice.ComponentContext")
            break
        except Exception:
            if office.poll() == 81:
                # A new profile was just created; the office process asks to be started again.
                office = spawn_office(soffice, profile_url, pipe_name)
            elif office.poll() is not None:
                raise RuntimeError("office process ended at start with code %s" % office.returncode)
            if time.monotonic() > deadline:
                raise RuntimeError("office process did not answer within 60 s")
            time.sleep(0.1)
    desktop = context.ServiceManager.createInstanceWithContext("com.sun.star.frame.Desktop", context)
    return office, desktop


def classify(error):
    text = str(error)
    lowered = text.lower()
    if "password" in lowered or "encrypt" in lowered:
        return "locked", text
    if "disposed" in lowered or "binary urp bridge" in lowered or "connection" in lowered:
        return "transient", text
    # An internal error of a long session (seen once in 300 conversions, never again in a fresh
    # process): a new office process is the cure, not giving up on the file.
    if type(error).__name__.endswith("uno.RuntimeException"):
        return "transient", text
    return "permanent", text


def convert(desktop, request):
    url = uno.systemPathToFileUrl(request["input"])
    # No interaction handler: a document that needs a password fails to load instead of asking.
    document = desktop.loadComponentFromURL(url, "_blank", 0, props(Hidden=True, ReadOnly=True, Silent=True,
                                                                     UpdateDocMode=0, MacroExecutionMode=0))
    if document is None:
        return {"ok": False, "kind": "permanent", "error": "the office process could not open the file"}
    try:
        filters = next((f for s, f in PDF_FILTERS.items() if document.supportsService(s)), None)
        if filters is None:
            return {"ok": False, "kind": "permanent", "error": "the file opened as a kind of document without PDF export"}
        document.storeToURL(uno.systemPathToFileUrl(request["pdf"]), props(FilterName=filters[0]))
        if request.get("odf"):
            document.storeToURL(uno.systemPathToFileUrl(request["odf"]), props(FilterName=filters[1]))
        return {"ok": True}
    finally:
        try:
            document.close(True)
        except Exception:
            document.dispose()


def main():
    soffice, profile_url, pipe_name = sys.argv[1:4]
    try:
        office, desktop = start_office(soffice, profile_url, pipe_name)
    except Exception as error:
        say({"ready": False, "error": str(error)})
        return 1
    say({"ready": True, "office_pid": office.pid})
    for line in sys.stdin:
        if not line.strip():
            continue
        request = json.loads(line)
        try:
            answer = convert(desktop, request)
        except Exception as error:
            kind, text = classify(error)
            answer = {"ok": False, "kind": kind, "error": type(error).__name__ + ": " + text}
        answer["id"] = request.get("id")
        say(answer)
        if office.poll() is not None:
            return 2
    try:
        desktop.terminate()
    except Exception:
        pass
    office.kill()
    office.wait()
    return 0


if __name__ == "__main__":
    sys.exit(main())
