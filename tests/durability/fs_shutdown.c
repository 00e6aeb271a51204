/* Cuts a mounted ext4 or XFS file system off its device as a power cut would: the file
 * system stops at once, without writing its dirty pages or its journal, so the device holds
 * exactly what had reached it. Usage: fs_shutdown MOUNTPOINT. */
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <errno.h>
#include <sys/ioctl.h>
#include <unistd.h>

/* The shut-down request both ext4 and XFS take, and its "do not flush the log" flag. */
#define FS_IOC_GOINGDOWN _IOR('X', 125, uint32_t)
#define FS_GOING_FLAGS_NOLOGFLUSH 0x2

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: fs_shutdown MOUNTPOINT\n");
    return 2;
  }
  int fd = open(argv[1], O_RDONLY | O_DIRECTORY);
  if (fd < 0) {
    fprintf(stderr, "fs_shutdown: %s: %s\n", argv[1], strerror(errno));
    return 1;
  }
  uint32_t flags = FS_GOING_FLAGS_NOLOGFLUSH;
  if (ioctl(fd, FS_IOC_GOINGDOWN, &flags) != 0) {
    fprintf(stderr, "fs_shutdown: %s: %s\n", argv[1], strerror(errno));
    close(fd);
    return 1;
  }
  close(fd);
  return 0;
}
