#pragma once

// A file replaced by a rename is freed when its last reference goes; on ext4
// that (its blocks freed, and discarded on a disk mounted so) costs about as
// much as making the copy that replaced it. Replacing code holds the old
// file across the rename and hands it here: it is let go of on a second
// thread, a few files at most, so that the space they take stays small.

namespace platform {

// Takes `fd`, an O_PATH descriptor of a file just replaced, and closes it
// soon on the second thread (at once here when too many wait, or no thread
// can be had).
void LetGoOfLater(int fd);

// Closes every replaced file still held and waits until the second thread
// closed the ones it took. True when any was still held: a write that found
// the disk full may then find room. Call it before another process is to
// write into folders where files were replaced.
bool LetGoOfReplaced();

// Tests: while true, the second thread closes nothing (files wait until a
// full disk, LetGoOfReplaced or the limit lets them go).
void KeepReplacedForTesting(bool keep);

} // namespace platform
