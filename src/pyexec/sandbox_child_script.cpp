#include "sandbox_process.hpp"

namespace zolviai::pyexec::sandbox {

// The Python side of a sandboxed run.
//
// In the namespaces it is a warm parent: bwrap starts it as root of a user namespace of its
// own with four capabilities (and nothing of the host's); it hides the scratch tmpfs bwrap
// made, forbids further user namespaces, imports numpy, pandas and matplotlib, says "ready"
// and from then on only forks, one process per request from the host (which brings the
// analysis's channel, status socket and diagnostics). The fork is the analysis process: made
// in a new PID namespace (its first process), it enters new mount, IPC and network namespaces
// itself; the parent sends the host a pidfd of it and, once it has ended, its wait status.
// The analysis process
// mounts its own /proc and a fresh sized tmpfs, binds it at /tmp, /dev/shm and the media
// staging folder, brings up its loopback, sets small System V IPC limits in its IPC
// namespace and makes /proc/sys read-only; it says "ready", reads one job from the channel
// until the host closes its side, puts the media folder and the working directory where the
// code expects them, makes the root read-only, drops every capability for good, runs the
// code and sends one length-framed result, then ends.
//
// Without the namespaces it is a plain child that warms up, says "ready" and runs one job.
//
// Until the code runs it is trusted; afterwards nothing it sends is: the host checks every
// field of the result, because the code can rewrite anything in this process.
const char* const kChildScript = R"PY(
import os, sys
CHANNEL = 3

def send(data):
    view = memoryview(data)
    while view:
        view = view[os.write(CHANNEL, view):]

import ast, ctypes, io, json, resource, stat
SETUP = json.loads(sys.argv[1])
TASKS = 0  # tasks of the sandbox when the analysis was forked (they share its process limit)
SCRATCH, STAGING = "/.zolviai-scratch", "/.zolviai-media"
MS_RDONLY, MS_NOSUID, MS_NODEV, MS_NOEXEC, MS_REMOUNT, MS_BIND, MS_REC = 1, 2, 4, 8, 32, 4096, 16384
MNT_DETACH = 2
libc = ctypes.CDLL(None, use_errno=True)

def check(rc, what):
    if rc != 0:
        err = ctypes.get_errno()
        raise OSError(err, "%s: %s" % (what, os.strerror(err)))

def bind(source, target, flags=0):
    check(libc.mount(os.fsencode(source), os.fsencode(target), None, MS_BIND | flags, None),
          "binding " + target)

def remount_read_only(target, flags=0):
    check(libc.mount(None, os.fsencode(target), None,
                     MS_REMOUNT | MS_BIND | MS_RDONLY | MS_NOSUID | MS_NODEV | flags, None),
          "making %s read-only" % target)

def prepare():
    # One sized tmpfs holds all the code may write: /tmp, /dev/shm and the media folder.
    if SETUP.get("warm"):
        # A fresh one for each analysis; the parent's own was hidden when it started.
        check(libc.mount(b"tmpfs", os.fsencode(SCRATCH), b"tmpfs", MS_NOSUID | MS_NODEV,
                         ("size=%d,mode=0700" % SETUP["scratch"]).encode()), "mounting the scratch space")
    for name, mode, target in (("tmp", 0o1777, "/tmp"), ("shm", 0o1777, "/dev/shm"),
                               ("media", 0o755, STAGING)):
        path = os.path.join(SCRATCH, name)
        os.mkdir(path)
        os.chmod(path, mode)
        bind(path, target, MS_NOSUID | MS_NODEV)
    check(libc.umount2(os.fsencode(SCRATCH), MNT_DETACH), "hiding the scratch space")
    # The IPC namespace is the sandbox's own: small System V limits, then /proc/sys read-only,
    # since root of the user namespace owns these files even without capabilities.
    for name, value in (("kernel/shmmax", SETUP["shmmax"]), ("kernel/shmall", SETUP["shmall"]),
                        ("kernel/shmmni", 32), ("kernel/msgmnb", 65536), ("kernel/msgmni", 16),
                        ("kernel/sem", "32 1024 32 32"), ("fs/mqueue/queues_max", 8),
                        ("user/max_user_namespaces", 0)):
        with open("/proc/sys/" + name, "w") as f:
            f.write(str(value))
    bind("/proc/sys", "/proc/sys", MS_REC)
    remount_read_only("/proc/sys", MS_NOEXEC)

if SETUP["isolated"] and not SETUP.get("warm"):
    prepare()

import base64
import datetime as _datetime
try:
    import numpy, pandas, matplotlib, matplotlib.pyplot
except Exception:
    pass  # the code's own import will say what is missing

def receive():
    chunks = []
    while True:
        chunk = os.read(CHANNEL, 1 << 16)
        if not chunk:
            return json.loads(b"".join(chunks))
        chunks.append(chunk)

PR_CAPBSET_DROP, PR_SET_SECUREBITS, PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL = 24, 28, 47, 4
# noroot, no-setuid-fixup and no-ambient-raise, each locked
SECUREBITS = 0x01 | 0x02 | 0x04 | 0x08 | 0x20 | 0x40 | 0x80

class CapHeader(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint32), ("pid", ctypes.c_int)]

class CapData(ctypes.Structure):
    _fields_ = [("effective", ctypes.c_uint32), ("permitted", ctypes.c_uint32),
                ("inheritable", ctypes.c_uint32)]

def isolate(media, cwd):
    if media:
        os.makedirs(media, exist_ok=True)
        bind(STAGING, media)
    try:
        os.makedirs(cwd, exist_ok=True)
    except OSError:
        cwd = "/"
    remount_read_only("/")
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
    queues = resource.getrlimit(resource.RLIMIT_MSGQUEUE)[1]
    queues = 1 << 20 if queues == resource.RLIM_INFINITY else min(queues, 1 << 20)
    # Soft and hard alike: as the first process of its namespace the interpreter would
    # ignore SIGXCPU, so the kernel's SIGKILL at the hard limit is what ends it.
    for which, value in ((resource.RLIMIT_CPU, (cpu, cpu)),
                         (resource.RLIMIT_AS, (limits["address_space"],) * 2),
                         (resource.RLIMIT_FSIZE, (limits["file_size"],) * 2),
                         (resource.RLIMIT_NPROC, (limits["processes"] + TASKS,) * 2),
                         (resource.RLIMIT_NOFILE, (limits["open_files"],) * 2),
                         (resource.RLIMIT_MSGQUEUE, (queues,) * 2),
                         (resource.RLIMIT_CORE, (0, 0))):
        resource.setrlimit(which, value)

def describe(e):
    try:
        return "{}: {}".format(type(e).__name__, e)
    except Exception:
        return type(e).__name__ + ": (the error could not be shown)"

# The host decides what it keeps (sandbox_reply.hpp); this only spares it files it would drop.
IMAGES = (".png", ".jpg", ".jpeg", ".gif", ".webp")
DATA = (".csv", ".tsv", ".json", ".txt")

def wanted(relative, output):
    if not relative.isprintable():
        return False  # also names that are not UTF-8 (undecodable bytes became surrogates)
    parts = relative.split("/")
    if len(parts) > 5 or any(not p or p.startswith(".") for p in parts):
        return False
    lower = relative.lower()
    return lower.endswith(IMAGES) or (lower.endswith(DATA) and parts[-1] in output)

def frame(header, body=b""):
    send(json.dumps(header).encode("ascii") + b"\n")
    if body:
        send(body)

def send_files(output, limits):
    sent = 0
    for top, dirnames, filenames in os.walk(STAGING):
        deep = os.path.relpath(top, STAGING).count("/") >= 3  # files of four folders, no deeper
        dirnames[:] = [] if deep else sorted(
            d for d in dirnames if not os.path.islink(os.path.join(top, d)))
        for name in sorted(filenames):
            if sent >= limits["files"]:
                return
            path = os.path.join(top, name)
            relative = os.path.normpath(os.path.relpath(path, STAGING))
            if not wanted(relative, output):
                continue
            try:
                fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
            except OSError:
                continue
            with os.fdopen(fd, "rb") as f:
                st = os.fstat(fd)
                if not stat.S_ISREG(st.st_mode) or st.st_size > limits["file_size"]:
                    continue
                # Exactly the size announced, even if a process of the code still writes.
                frame({"kind": "file", "name": relative, "size": st.st_size})
                left = st.st_size
                while left:
                    chunk = f.read(min(left, 1 << 16)) or b"\0" * min(left, 1 << 16)
                    send(chunk)
                    left -= len(chunk)
                sent += 1

def main():
    job = receive()
    runner = os.getpid()
    output, error = "", None
    try:
        if job["isolated"]:
            isolate(job.get("media"), job["cwd"])
        else:
            os.chdir(job["cwd"])
        limit(job["limits"])
    except BaseException as e:
        send_text("", "OSError: the analysis sandbox could not be prepared: " + describe(e))
        frame({"kind": "end"})
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
    send_text(output, error)
    if job["isolated"] and job.get("media"):
        try:
            send_files(output, job["reply"])
        except BaseException:
            pass  # what was sent stands; the host reads the rest as missing
    frame({"kind": "end"})

def send_text(output, error):
    data = output.encode("utf-8", "replace")
    frame({"kind": "output", "size": len(data)}, data)
    if error is not None:
        data = error.encode("utf-8", "replace")
        frame({"kind": "error", "size": len(data)}, data)

CLONE_NEWNS, CLONE_NEWIPC, CLONE_NEWPID, CLONE_NEWNET = 0x00020000, 0x08000000, 0x20000000, 0x40000000
PR_SET_PDEATHSIG = 1

def tasks():
    total = 0
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/status" % entry) as f:
                    for line in f:
                        if line.startswith("Threads:"):
                            total += int(line.split()[1])
                            break
            except OSError:
                pass
    return total

def loopback_up():
    import fcntl, socket, struct
    SIOCGIFFLAGS, SIOCSIFFLAGS, IFF_UP = 0x8913, 0x8914, 0x1
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        flags = struct.unpack("16sH", fcntl.ioctl(s, SIOCGIFFLAGS, struct.pack("16sH", b"lo", 0)))[1]
        fcntl.ioctl(s, SIOCSIFFLAGS, struct.pack("16sH", b"lo", flags | IFF_UP))

def analysis():
    # The namespace's first process: a new /proc, the fresh scratch space and System V limits,
    # then the one job as in a cold interpreter. A session of its own first: the warm parent's
    # process group holds every analysis being prepared, and code that signals its own group
    # (kill(0), which getppid() == 0 in a new PID namespace also reaches) must reach only
    # itself and what it started.
    os.setsid()
    libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
    check(libc.mount(b"proc", b"/proc", b"proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, None), "mounting /proc")
    prepare()
    loopback_up()
    warm_pages()
    send(b"ready\n")
    main()

def warm_pages():
    # A forked process copies each page of the parent's objects that it first writes (their
    # reference counts), and a first frame grouped here costs tens of milliseconds of those
    # copies. This process is forked ahead of its question, so it takes them now, by this
    # trusted code, and the analysis does not wait for them.
    source = ("import pandas as pd\n"
              "frame = pd.DataFrame({'name': ['a', 'b', 'a'], 'value': [1, 2, 3.5]})\n"
              "print(frame.groupby('name')['value'].sum().sort_values(ascending=False))\n"
              "print(frame.head())\n")
    buffer = io.StringIO()
    try:
        sys.stdout = buffer
        namespace = {}
        exec(compile(ast.parse(source, mode="exec"), "<ast>", "exec"), namespace, namespace)
    except Exception:
        pass
    finally:
        sys.stdout = sys.__stdout__

def forked(channel, diagnostics):
    # The analysis process, forked by the warm parent straight into a new PID namespace (it is
    # that namespace's first process): new mount, IPC and network namespaces, its channel and
    # diagnostics in place, every other descriptor closed. Nothing of the code runs before.
    signal.signal(signal.SIGCHLD, signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_SETMASK, set())
    os.dup2(diagnostics, 1)
    os.dup2(diagnostics, 2)
    os.dup2(channel, CHANNEL)
    os.closerange(CHANNEL + 1, 1 << 20)
    check(libc.unshare(CLONE_NEWNS | CLONE_NEWIPC | CLONE_NEWNET), "entering new namespaces")
    analysis()

def rehearse():
    # A frame grouped and a chart drawn once, by this trusted code, so that what they load on
    # first use (modules, fonts, caches) is loaded here once and not in every analysis.
    try:
        import io
        frame = pandas.DataFrame({"name": ["a", "b", "a"], "value": [1, 2, 3]})
        str(frame.groupby("name")["value"].sum().sort_values())
        str(frame.describe())
        figure, axes = matplotlib.pyplot.subplots(figsize=(4, 3))
        axes.bar(["a", "b"], [1, 2])
        axes.set_title("a")
        axes.set_xlabel("a")
        axes.set_ylabel("b")
        figure.tight_layout()
        figure.savefig(io.BytesIO(), format="png")
        matplotlib.pyplot.close("all")
    except Exception:
        pass  # an analysis that needs what failed will say so itself

REPORTERS = {}  # analysis process -> the status socket its wait status goes to

def reap(*_):
    while True:
        try:
            pid, wait_status = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            return
        reporter = REPORTERS.pop(pid, None)
        if reporter is not None:
            try:
                reporter.sendall(b"%d\n" % wait_status)
            except OSError:
                pass  # the host no longer waits for it
            reporter.close()

def start(fds, own_pid_namespace):
    # One analysis process per request. The host gets a pidfd of it (its deadline's target)
    # and, once it has ended, its wait status; SIGCHLD waits until the process is on record.
    # Without a pidfd the host takes this parent for gone.
    global TASKS
    channel, status, diagnostics = fds
    reporter = socket.socket(fileno=status)
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGCHLD})
    try:
        TASKS = tasks()
        check(libc.unshare(CLONE_NEWPID), "entering a new PID namespace")
        try:
            pid = os.fork()
            if pid == 0:
                try:
                    reporter.detach()
                    forked(channel, diagnostics)
                finally:
                    os._exit(0)
        finally:
            # Only this parent gets here. Its next child needs a new namespace again, which
            # the kernel grants only while children are made in its own.
            check(libc.setns(own_pid_namespace, CLONE_NEWPID), "leaving the child's PID namespace")
        REPORTERS[pid], reporter = reporter, None
        handle = os.pidfd_open(pid)
        try:
            socket.send_fds(REPORTERS[pid], [b"p"], [handle])
        finally:
            os.close(handle)
    except OSError:
        pass  # the host reads the missing handle or status
    finally:
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGCHLD})
        os.close(channel)
        os.close(diagnostics)
        if reporter is not None:
            reporter.close()

def parent():
    # The warm parent: never runs code. Each request from the host brings the analysis's
    # channel, its status socket and its diagnostics, and one forked process serves it.
    check(libc.umount2(os.fsencode(SCRATCH), MNT_DETACH), "hiding the scratch space")
    with open("/proc/sys/user/max_user_namespaces", "w") as f:
        f.write("0")
    control = socket.socket(fileno=CHANNEL)
    own_pid_namespace = os.open("/proc/self/ns/pid", os.O_RDONLY | os.O_CLOEXEC)
    signal.signal(signal.SIGCHLD, reap)
    rehearse()
    # What is loaded now stays out of the collector's reach, so that an analysis does not
    # write to (and copy) every page of it when it collects.
    import gc
    gc.collect()
    gc.freeze()
    send(b"ready\n")
    while True:
        message, fds, _, _ = socket.recv_fds(control, 1, 3)
        if not message:
            return
        if len(fds) != 3:
            for fd in fds:
                os.close(fd)
            continue
        start(fds, own_pid_namespace)

try:
    if SETUP.get("warm"):
        import fcntl, signal, socket
        parent()
    else:
        send(b"ready\n")
        main()
finally:
    os._exit(0)
)PY";

} // namespace zolviai::pyexec::sandbox
