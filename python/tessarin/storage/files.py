"""Files written whole or not at all, and read only when they are files.

Writing (`write_file`, `write_atomically`). An index file is written to a
temporary file in the target's folder and put in place once complete, so a
reader sees the old file or the new one, never a part. The temporary file
has no name while it is written (Linux's O_TMPFILE, given one with linkat
through /proc/self/fd when complete), so a process killed midway leaves
nothing behind. Where the filesystem has no unnamed files, it gets a name
of our own pattern (`.tessarin-partial-SCOPE-PID-START-RANDOM`: the writer's
process id, when that process started, and a tag of the boot and process
namespace in which the pid means something), and every write to a folder
first removes the partial files there whose writer is gone. Names of any
other pattern, and partial files of writers that are alive or of another
machine or namespace, are never touched.

What is replaced must be a regular file: a FIFO, a device or a socket at
the path is refused (`NotARegularFileError`), never replaced, and a folder
is refused too (`IsADirectoryError`). A symbolic link is followed: its
target is replaced, the link stays. The check is made before writing and
again just before the rename that replaces the file; the rename itself
cannot be made conditional, so a process that swaps a device in at that
moment could have it replaced, but such a process can write that folder
and so could replace or remove the entry itself anyway.

A path that names one of the process's open descriptors (/dev/stdout,
/dev/stderr, /dev/fd/N, /proc/self/fd/N) is written through that descriptor
in place, as a shell redirection would be (`write_all`). Every write there
checks what the system took: a short write is continued, and a full device,
a closed pipe or any other failure raises OSError.

Reading (`open_regular`, `read_whole`, `read_descriptor`, `map_file`). An
input is stat'ed first and refused unless it is a regular file, so that
nothing is opened that could block (a FIFO without writer) or act on being
opened (a device); then it is opened with O_NONBLOCK and its descriptor
checked again, so a file swapped for a FIFO between the two is refused too
rather than read. A file is read into private memory in one sequential
pass: what is checked and used is then our own copy, which no other process
can change or truncate under us. `map_file` maps a file instead, read-only:
its pages are the page cache's, shared with every process that maps it, but
a write to the file shows through, and reading a page that a truncation
removed kills the process with SIGBUS. So a file is mapped only when it
cannot change (`is_sealed`: a memory file sealed against writes and
shrinking, as `sealed_copy` makes) or when the caller asks and keeps the
rule that such files are replaced by rename, never rewritten in place (as
`write_file` and every writer of this package replace them).
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import hashlib
import mmap
import os
import re
import secrets
import select
import socket
import stat
from collections.abc import Iterable

from ..errors import NotARegularFileError, TessarinError

__all__ = [
    "Signature",
    "check_writable",
    "descriptor_of",
    "file_signature",
    "is_sealed",
    "map_file",
    "open_regular",
    "read_descriptor",
    "read_whole",
    "require_regular",
    "same_file",
    "sealed_copy",
    "write_all",
    "write_atomically",
    "write_file",
]

Buffer = bytes | bytearray | memoryview

#: Whether to make temporary files unnamed (Linux, with /proc mounted);
#: where a filesystem cannot, they are named, as everywhere else.
_UNNAMED = hasattr(os, "O_TMPFILE") and os.path.isdir("/proc/self/fd")
_PARTIAL = re.compile(r"\.tessarin-partial-([0-9a-f]{8})-(\d+)-(\d+)-[0-9a-f]{8}")
_DESCRIPTOR = re.compile(r"/dev/fd/(\d+)|/proc/self/fd/(\d+)")
_ANONYMOUS = mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS | getattr(mmap, "MAP_POPULATE", 0)
#: Linux's request to fault a range in at once (5.14 and later; Python names
#: no constant for it), made after asking for huge pages.
_MADV_POPULATE_WRITE = 23
_STANDARD = {"/dev/stdout": 1, "/dev/stderr": 2}
_READ = "an index is read from a file"
_WRITTEN = "an index is written to a file, or to standard output"


def _kind(mode: int) -> str:
    for test, name in (
        (stat.S_ISFIFO, "a FIFO"),
        (stat.S_ISCHR, "a character device"),
        (stat.S_ISBLK, "a block device"),
        (stat.S_ISSOCK, "a socket"),
        (stat.S_ISLNK, "a symbolic link"),
    ):
        if test(mode):
            return name
    return "of an unknown kind"


def require_regular(path: str, mode: int, use: str) -> None:
    """Raises unless `mode` is a regular file's: IsADirectoryError for a
    folder, else NotARegularFileError (`use` says what a file is for)."""
    if stat.S_ISREG(mode):
        return
    if stat.S_ISDIR(mode):
        raise IsADirectoryError(errno.EISDIR, "Is a directory", path)
    raise NotARegularFileError(None, f"is {_kind(mode)}, not a regular file: {use}", path)


# ------------------------------------------------------------------ reading


def open_regular(path: str) -> int:
    """A descriptor open for reading on the regular file at `path`; raises
    OSError (NotARegularFileError for a FIFO, device or socket) at once."""
    require_regular(path, os.stat(path).st_mode, _READ)
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        require_regular(path, os.fstat(fd).st_mode, _READ)
        os.set_blocking(fd, True)
    except BaseException:
        os.close(fd)
        raise
    return fd


def read_whole(path: str) -> mmap.mmap | bytes:
    """The bytes of the regular file at `path` (`read_descriptor`)."""
    fd = open_regular(path)
    try:
        return read_descriptor(fd)
    finally:
        os.close(fd)


def read_descriptor(fd: int) -> mmap.mmap | bytes:
    """The bytes of the regular file open at `fd`, from its start, read in
    one sequential pass into private memory: an anonymous mapping (the
    caller closes it, or drops it), made resident at once, which costs less
    than faulting its pages in one by one. As many bytes are read as the
    file holds now; if it changes meanwhile, its reader checks what was read
    like any damage."""
    size = os.fstat(fd).st_size
    if size == 0:
        return b""
    if hasattr(os, "posix_fadvise"):
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_SEQUENTIAL)
    data = _private_memory(size)
    done = 0
    try:
        with memoryview(data) as view:
            while done < size:
                count = os.preadv(fd, [view[done:]], done)
                if not count:
                    break
                done += count
    except BaseException:
        data.close()
        raise
    if done == size:
        return data
    with data:  # the file was cut short meanwhile: what there was
        return data[:done]


def _private_memory(size: int) -> mmap.mmap:
    """An anonymous mapping of `size` bytes, resident, on huge pages where
    the system gives them: a query's reads, scattered over the index, then
    miss the TLB far less often (a fifth off a cold query's time on a
    million terms)."""
    if not hasattr(mmap, "MADV_HUGEPAGE"):
        return mmap.mmap(-1, size, flags=_ANONYMOUS)
    data = mmap.mmap(-1, size, flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS)
    try:
        data.madvise(mmap.MADV_HUGEPAGE)
        data.madvise(_MADV_POPULATE_WRITE)
    except OSError:
        pass  # no huge pages, or no populating: the pages come as they are read
    return data


def is_sealed(fd: int) -> bool:
    """Whether the file open at `fd` can neither be written nor shrunk by
    anyone (a memory file with those seals, Linux's memfd_create)."""
    needed = getattr(fcntl, "F_SEAL_WRITE", 0) | getattr(fcntl, "F_SEAL_SHRINK", 0)
    if not needed or not hasattr(fcntl, "F_GET_SEALS"):
        return False
    try:
        seals = fcntl.fcntl(fd, fcntl.F_GET_SEALS)
    except OSError:
        return False  # not a file that takes seals
    return seals & needed == needed


def map_file(fd: int, *, populate: bool = False) -> mmap.mmap:
    """The file open at `fd`, mapped read-only and private (see above for
    what that means if the file changes); with `populate`, its pages mapped
    at once (for a caller about to read them all), else as they are read.
    Raises ValueError for an empty file."""
    size = os.fstat(fd).st_size
    if size == 0:
        raise ValueError("an empty file cannot be mapped")
    flags = mmap.MAP_PRIVATE | (getattr(mmap, "MAP_POPULATE", 0) if populate else 0)
    return mmap.mmap(fd, size, flags=flags, prot=mmap.PROT_READ)


def sealed_copy(path: str) -> int:
    """A descriptor of a memory file holding the bytes of the regular file
    at `path`, copied once and sealed: nobody can write, grow or shrink it
    afterwards, so that any number of processes may map it (through the
    descriptor, inherited, or /proc/PID/fd/N) with nothing done to the
    original file reaching them. Linux only (memfd_create); raises OSError.
    The caller closes the descriptor; the memory goes with the last
    descriptor and mapping."""
    source = open_regular(path)
    try:
        size = os.fstat(source).st_size
        fd = os.memfd_create("tessarin-index", os.MFD_CLOEXEC | os.MFD_ALLOW_SEALING)
        try:
            done = 0
            while done < size:
                count = os.sendfile(fd, source, done, size - done)
                if not count:
                    break  # cut short meanwhile: what there was (checked when loaded)
                done += count
            seals = fcntl.F_SEAL_WRITE | fcntl.F_SEAL_SHRINK | fcntl.F_SEAL_GROW
            fcntl.fcntl(fd, fcntl.F_ADD_SEALS, seals | fcntl.F_SEAL_SEAL)
        except BaseException:
            os.close(fd)
            raise
        return fd
    finally:
        os.close(source)


# ------------------------------------------------------------------ writing


def write_all(fd: int, chunks: Iterable[Buffer]) -> int:
    """Writes every byte of `chunks` to the descriptor `fd`, continuing
    after short writes (and waiting on a non-blocking one that is full);
    returns how many. Raises OSError, saying how many bytes were written."""
    written = 0
    for chunk in chunks:
        with memoryview(chunk) as view, view.cast("B") as data:
            done = 0
            while done < len(data):
                try:
                    done += os.write(fd, data[done:])
                except BlockingIOError:
                    select.select([], [fd], [])
                except OSError as error:
                    what = f"{error.strerror} after {written + done:,} bytes"
                    raise type(error)(error.errno, what) from None
            written += done
    return written


def descriptor_of(path: str) -> int | None:
    """The descriptor a path names, if it names one of this process's
    (/dev/stdout, /dev/fd/3, /proc/self/fd/1, ...)."""
    path = os.path.normpath(path)
    if path in _STANDARD:
        return _STANDARD[path]
    found = _DESCRIPTOR.fullmatch(path)
    return None if found is None else int(found[1] or found[2])


def write_file(path: str, chunks: Iterable[Buffer]) -> int:
    """Writes `chunks` to `path`: through the descriptor it names, if it
    names one, else atomically. Returns the bytes written; raises OSError."""
    fd = descriptor_of(path)
    return write_all(fd, chunks) if fd is not None else write_atomically(path, chunks)


def write_atomically(path: str, chunks: Iterable[Buffer]) -> int:
    """Writes `chunks` to `path` whole or not at all, through a temporary
    file put in place once complete. Returns the bytes written; raises
    OSError (NotARegularFileError if the path names something that is not
    a regular file)."""
    target = os.path.realpath(path)
    folder, name = os.path.split(target)
    dirfd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    temporary: str | None = None
    try:
        mode = _replaceable_mode(path, name, dirfd)
        _remove_stale(dirfd)
        fd = _open_unnamed(dirfd)
        if fd is None:
            temporary = _temporary_name()
            flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC
            fd = os.open(temporary, flags, 0o666, dir_fd=dirfd)
        try:
            if mode is not None:
                os.fchmod(fd, mode)
            written = write_all(fd, chunks)
            os.fsync(fd)
            if temporary is None:
                temporary = _give_name(fd, dirfd, name if mode is None else None)
        finally:
            os.close(fd)
        if temporary is not None:
            _replaceable_mode(path, name, dirfd)  # again: the entry may have changed meanwhile
            os.replace(temporary, name, src_dir_fd=dirfd, dst_dir_fd=dirfd)
            temporary = None
        with contextlib.suppress(OSError):  # not every filesystem syncs folders
            os.fsync(dirfd)  # the new entry is durable too
        return written
    finally:
        if temporary is not None:
            with contextlib.suppress(OSError):
                os.unlink(temporary, dir_fd=dirfd)
        os.close(dirfd)


def _replaceable_mode(path: str, name: str, dirfd: int) -> int | None:
    """The permissions of the regular file `name` in the folder, None if
    there is none; raises if something else is there."""
    try:
        found = os.lstat(name, dir_fd=dirfd).st_mode
    except FileNotFoundError:
        return None
    require_regular(path, found, _WRITTEN)
    return stat.S_IMODE(found)


def _open_unnamed(dirfd: int) -> int | None:
    """An unnamed file in the folder, or None where the system makes none."""
    if not _UNNAMED:
        return None
    try:
        return os.open(".", os.O_TMPFILE | os.O_WRONLY | os.O_CLOEXEC, 0o666, dir_fd=dirfd)
    except OSError as error:
        if error.errno not in (errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL):
            raise
        return None


def _give_name(fd: int, dirfd: int, new: str | None) -> str | None:
    """Links the complete unnamed file into the folder: as `new`, when the
    target did not exist (and still does not), else at a temporary name,
    which is returned, for the rename that replaces the target."""
    procfd = os.open("/proc/self/fd", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        if new is not None:
            try:
                os.link(str(fd), new, src_dir_fd=procfd, dst_dir_fd=dirfd)
                return None
            except FileExistsError:
                pass  # made meanwhile: replaced by the rename, if it may be
        name = _temporary_name()
        os.link(str(fd), name, src_dir_fd=procfd, dst_dir_fd=dirfd)
        return name
    finally:
        os.close(procfd)


# What names a partial file: the scope in which a pid means a process (this
# boot of this machine, this process namespace), the pid, and when that
# process started (so that a pid used again is not taken for its writer).


def _read(path: str) -> str:
    try:
        with open(path) as file:
            return file.read()
    except OSError:
        return ""


def _scope() -> str:
    try:
        namespace = os.readlink("/proc/self/ns/pid")
    except OSError:
        namespace = ""
    boot = _read("/proc/sys/kernel/random/boot_id").strip() or socket.gethostname()
    return hashlib.blake2b(f"{boot} {namespace}".encode(), digest_size=4).hexdigest()


def _start_time(pid: int | str) -> int:
    """When a process started, in clock ticks since boot; 0 if unknown."""
    fields = _read(f"/proc/{pid}/stat").rpartition(")")[2].split()
    return int(fields[19]) if len(fields) > 19 else 0


def _temporary_name() -> str:
    pid = os.getpid()
    random = secrets.token_hex(4)
    return f".tessarin-partial-{_scope()}-{pid}-{_start_time('self')}-{random}"


def _writer_alive(pid: int, start: int) -> bool:
    if start:
        return _start_time(pid) == start
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        pass  # another user's: alive
    return True


def _remove_stale(dirfd: int) -> None:
    """Removes the partial files in a folder whose writer is gone."""
    scope = None
    try:
        names = os.listdir(dirfd)
    except OSError:
        return
    for name in names:
        found = _PARTIAL.fullmatch(name)
        if found is None:
            continue
        scope = scope or _scope()
        if found[1] != scope or _writer_alive(int(found[2]), int(found[3])):
            continue
        try:
            if stat.S_ISREG(os.lstat(name, dir_fd=dirfd).st_mode):
                os.unlink(name, dir_fd=dirfd)
        except OSError:
            pass  # removed by another writer meanwhile, or not ours to remove


def same_file(a: str, b: str) -> bool:
    """Whether two paths name the same existing file."""
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def check_writable(path: str) -> None:
    """Raises TessarinError early when `path` cannot be written: its folder
    is missing or not writable, or something that is not a regular file is
    there (a folder, a FIFO, a device)."""
    target = os.path.realpath(path)
    folder = os.path.dirname(target) or "."
    if not os.path.isdir(folder):
        raise TessarinError(f"{path}: no such directory: {folder}")
    try:
        require_regular(path, os.lstat(target).st_mode, _WRITTEN)
    except FileNotFoundError:
        pass
    except OSError as error:
        raise TessarinError(f"{path}: {error.strerror}") from None
    if not os.access(folder, os.W_OK | os.X_OK):
        raise TessarinError(f"{path}: cannot write in {folder}")


#: A file's identity as a reload compares it: st_mtime_ns, st_size, st_ino.
Signature = tuple[int, int, int]


def file_signature(path: str) -> Signature | None:
    """A file's identity as a reload compares it, None if it cannot be read."""
    try:
        stat = os.stat(path)
    except OSError:
        return None
    return (stat.st_mtime_ns, stat.st_size, stat.st_ino)
