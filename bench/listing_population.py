# A fixed process population for bench/compare_listings.sh: odd names and paths, owners, states.
# Prints "ready" and waits for stdin to close, then kills everything.
import ctypes, os, shutil, signal, sys, time
libc = ctypes.CDLL(None, use_errno=True)
tmp = sys.argv[1]
os.chmod(tmp, 0o755)
kids = []
def spawn(fn):
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        try:
            fn(w)
        except BaseException as e:
            sys.stderr.write("population: a process failed: %r\n" % (e,))
        os._exit(1)
    os.close(w)
    os.read(r, 1)
    os.close(r)
    kids.append(pid)
    return pid
def ready(w):
    os.write(w, b"r"); os.close(w)
def setuid(uid):
    os.setgroups([]); os.setresgid(65534, 65534, 65534); os.setresuid(uid, uid, uid)
def exec_copy(name_bytes, uid=None, dirpath=None, unlink=False):
    d = dirpath or os.path.join(tmp.encode(), b"bin")
    os.makedirs(d, exist_ok=True)
    path = os.path.join(d, name_bytes)
    if not os.path.exists(path):
        shutil.copy(b"/bin/sleep", path)
        os.chmod(path, 0o755)
    def run(w):
        if uid is not None: setuid(uid)
        ready(w)
        os.execv(path, [path, b"100000"])
    pid = spawn(run)
    time.sleep(0.05)
    if unlink: os.unlink(path)
    return pid
def comm_proc(name_bytes, uid=None, nondumpable=False, threads=0, zombie_child=False, leader_exit=False):
    def run(w):
        with open("/proc/self/comm", "wb") as f: f.write(name_bytes)
        if uid is not None: setuid(uid)
        if nondumpable: libc.prctl(4, 0, 0, 0, 0)
        import threading
        for _ in range(threads):
            threading.Thread(target=lambda: time.sleep(100000), daemon=True).start()
        if zombie_child:
            if os.fork() == 0: os._exit(0)
            time.sleep(0.1)
        ready(w)
        if leader_exit:
            libc.syscall(60, 0)  # the main thread alone exits; the others run on
        time.sleep(100000)
    return spawn(run)
names = [b"a\nb", b"back\\slash", b"bs\\n", b"sp ace", b"par)en (x) ", b")", b"(", b"\xff\xfeinv",
         b"caf\xc3\xa9", b"fifteen_chars15", b"sixteen_chars_16", b"tab\there", b"q\"uote", b"pipe|x",
         b"\x1b[esc", b"trail ", b"x (deleted)"]
for n in names:
    exec_copy(n)
for n in names:
    comm_proc(n[:15] if n != b"\n" else n)
comm_proc(b"\n"); comm_proc(b"\\"); comm_proc(b"\\\\n\n")
# Owners: with and without passwd entries, non-dumpable.
for uid in (0, 1, 65534, 200001, 4294967294):
    exec_copy(b"owned" + str(uid).encode(), uid=uid)
    comm_proc(b"nd" + str(uid).encode(), uid=uid, nondumpable=True)
    comm_proc(b"thr" + str(uid).encode(), uid=uid, threads=3)
# Long paths: just fitting the path buffer and not.
for total in (900, 1010, 1022, 1023, 1024, 1100, 3000):
    base = os.path.join(tmp.encode(), b"long")
    cur = base
    while len(cur) + 60 < total:
        cur = os.path.join(cur, b"d" * 50)
    last = b"s" * max(1, total - len(cur) - 1)
    exec_copy(last[:200], dirpath=cur)
# Deleted executables.
exec_copy(b"deleted-one", unlink=True)
exec_copy(b"deleted (deleted)", unlink=True)
# Zombies: an unreaped child; a leader gone while its threads run.
comm_proc(b"zparent", zombie_child=True)
comm_proc(b"leaderless", threads=2, leader_exit=True)
sys.stdout.write("ready\n"); sys.stdout.flush()
sys.stdin.read()
for k in kids:
    try: os.kill(k, signal.SIGKILL)
    except OSError: pass
for k in kids:
    try: os.waitpid(k, 0)
    except OSError: pass
