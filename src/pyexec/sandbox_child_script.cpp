#include "sandbox_process.hpp"

namespace zolviai::pyexec::sandbox {

// The Python side of a sandboxed run. It warms up (pandas and matplotlib imported), says
// "ready", reads one job from the channel until the host closes its side, prepares the
// sandbox for that job, runs the code and sends one length-framed result, then ends.
//
// Until the code runs it is trusted; afterwards nothing it sends is: the host checks every
// field of the result, because the code can rewrite anything in this process.
//
// In the namespaces, bwrap starts it as root of a user namespace of its own with three
// capabilities (and nothing of the host's): it uses them to put the media folder and the
// working directory where the code expects them, to make the root read-only and to forbid
// further user namespaces, and then drops every capability for good before the code runs.
const char* const kChildScript = R"PY(
import os, sys
CHANNEL = 3

def send(data):
    view = memoryview(data)
    while view:
        view = view[os.write(CHANNEL, view):]

import ast, base64, ctypes, io, json, resource, stat
import datetime as _datetime
try:
    import numpy, pandas, matplotlib, matplotlib.pyplot
except Exception:
    pass  # the code's own import will say what is missing
send(b"ready\n")

def receive():
    chunks = []
    while True:
        chunk = os.read(CHANNEL, 1 << 16)
        if not chunk:
            return json.loads(b"".join(chunks))
        chunks.append(chunk)

STAGING = "/.zolviai-media"
MS_RDONLY, MS_NOSUID, MS_NODEV, MS_REMOUNT, MS_BIND = 1, 2, 4, 32, 4096
PR_CAPBSET_DROP, PR_SET_SECUREBITS, PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL = 24, 28, 47, 4
# noroot, no-setuid-fixup and no-ambient-raise, each locked
SECUREBITS = 0x01 | 0x02 | 0x04 | 0x08 | 0x20 | 0x40 | 0x80

class CapHeader(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint32), ("pid", ctypes.c_int)]

class CapData(ctypes.Structure):
    _fields_ = [("effective", ctypes.c_uint32), ("permitted", ctypes.c_uint32),
                ("inheritable", ctypes.c_uint32)]

def isolate(media, cwd):
    libc = ctypes.CDLL(None, use_errno=True)

    def check(rc, what):
        if rc != 0:
            err = ctypes.get_errno()
            raise OSError(err, "%s: %s" % (what, os.strerror(err)))

    if media:
        os.makedirs(media, exist_ok=True)
        check(libc.mount(os.fsencode(STAGING), os.fsencode(media), None, MS_BIND, None),
              "mapping the media folder")
    try:
        os.makedirs(cwd, exist_ok=True)
    except OSError:
        cwd = "/"
    check(libc.mount(None, b"/", None, MS_REMOUNT | MS_BIND | MS_RDONLY | MS_NOSUID | MS_NODEV,
                     None), "making the root read-only")
    with open("/proc/sys/user/max_user_namespaces", "w") as f:
        f.write("0")
    for cap in range(64):
        libc.prctl(PR_CAPBSET_DROP, cap, 0, 0, 0)
    check(libc.prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0), "clearing ambient capabilities")
    check(libc.prctl(PR_SET_SECUREBITS, SECUREBITS, 0, 0, 0), "locking the security bits")
    check(libc.capset(ctypes.byref(CapHeader(0x20080522, 0)), (CapData * 2)()), "dropping capabilities")
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(("CapInh:", "CapPrm:", "CapEff:", "CapBnd:", "CapAmb:")):
                if int(line.split()[1], 16) != 0:
                    raise OSError("a capability is still held: " + line.strip())
    os.chdir(cwd)
    os.environ.pop("PWD", None)  # bwrap's, and not where the code runs

def limit(limits):
    used = resource.getrusage(resource.RUSAGE_SELF)
    # A second beyond the wall-clock deadline, so that the deadline ends single-threaded code.
    cpu = int(used.ru_utime + used.ru_stime + limits["cpu_seconds"]) + 2
    # Soft and hard alike: as the first process of its namespace the interpreter would
    # ignore SIGXCPU, so the kernel's SIGKILL at the hard limit is what ends it.
    for which, value in ((resource.RLIMIT_CPU, (cpu, cpu)),
                         (resource.RLIMIT_AS, (limits["address_space"],) * 2),
                         (resource.RLIMIT_FSIZE, (limits["file_size"],) * 2),
                         (resource.RLIMIT_NPROC, (limits["processes"],) * 2),
                         (resource.RLIMIT_NOFILE, (limits["open_files"],) * 2),
                         (resource.RLIMIT_CORE, (0, 0))):
        resource.setrlimit(which, value)

def describe(e):
    try:
        return "{}: {}".format(type(e).__name__, e)
    except Exception:
        return type(e).__name__ + ": (the error could not be shown)"

def collect():
    files, dirs = [], []
    for top, dirnames, filenames in os.walk(STAGING):
        relative = os.path.relpath(top, STAGING)
        for name in list(dirnames):
            path = os.path.join(top, name)
            if os.path.islink(path):
                dirnames.remove(name)
                continue
            dirs.append(os.path.normpath(os.path.join(relative, name)))
        for name in filenames:
            path = os.path.join(top, name)
            try:
                fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
            except OSError:
                continue
            with os.fdopen(fd, "rb") as f:
                if not stat.S_ISREG(os.fstat(fd).st_mode):
                    continue
                data = f.read()
            files.append({"name": os.path.normpath(os.path.join(relative, name)),
                          "data": base64.b64encode(data).decode("ascii")})
    return files, dirs

def main():
    job = receive()
    runner = os.getpid()
    output, error, files, dirs = "", None, [], []
    try:
        if job["isolated"]:
            isolate(job.get("media"), job["cwd"])
        else:
            os.chdir(job["cwd"])
        limit(job["limits"])
    except BaseException as e:
        send_result({"output": "", "error": "OSError: the analysis sandbox could not be prepared: " +
                     describe(e), "files": [], "dirs": []})
        return
    namespace = {"datetime": _datetime}
    buffer = io.StringIO()
    try:
        tree = ast.parse(job["source"], mode="exec")
        sys.stdout = buffer
        exec(compile(tree, "<ast>", "exec"), namespace, namespace)
    except BaseException as e:
        error = describe(e)
    finally:
        sys.stdout = sys.__stdout__
    if os.getpid() != runner:
        os._exit(0)  # a process the code forked does not report
    if error is None:
        output = buffer.getvalue()
    namespace.clear()
    buffer = None
    if job["isolated"] and job.get("media"):
        try:
            files, dirs = collect()
        except BaseException as e:
            files, dirs = [], []
            error = error or "OSError: the files saved in the media folder could not be read: " + describe(e)
    send_result({"output": output, "error": error, "files": files, "dirs": dirs})

def send_result(result):
    data = json.dumps(result, ensure_ascii=False).encode("utf-8", "replace")
    send(b"%d\n" % len(data) + data)

try:
    main()
finally:
    os._exit(0)
)PY";

} // namespace zolviai::pyexec::sandbox
