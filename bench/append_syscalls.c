/* The bare system calls of one audit append, in a loop: open(O_APPEND|O_CREAT), an exclusive open-file-description
 * lock on the whole file (F_OFD_SETLKW), one write of the line, close, stat. Prints the mean nanoseconds per
 * iteration of each round, one number a line.
 *
 *     append_syscalls PATH LINE_BYTES ITERATIONS ROUNDS CHUNK
 *
 * The file is truncated before every CHUNK iterations, outside the timed part, so that it stays small. */

#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static double now_ns(void) {
  struct timespec time;
  clock_gettime(CLOCK_MONOTONIC, &time);
  return (double)time.tv_sec * 1e9 + (double)time.tv_nsec;
}

static int append_once(const char *path, const char *line, size_t length) {
  int fd = open(path, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  struct flock whole_file;
  memset(&whole_file, 0, sizeof whole_file);
  whole_file.l_type = F_WRLCK;
  whole_file.l_whence = SEEK_SET;
  whole_file.l_start = 0;
  whole_file.l_len = 0;
  if (fcntl(fd, F_OFD_SETLKW, &whole_file) != 0 || write(fd, line, length) != (ssize_t)length) {
    close(fd);
    return -1;
  }
  close(fd);
  struct stat status;
  return stat(path, &status);
}

int main(int argc, char **argv) {
  if (argc != 6) {
    fprintf(stderr, "usage: %s PATH LINE_BYTES ITERATIONS ROUNDS CHUNK\n", argv[0]);
    return 2;
  }
  const char *path = argv[1];
  const size_t length = strtoul(argv[2], NULL, 10);
  const long iterations = strtol(argv[3], NULL, 10);
  const long rounds = strtol(argv[4], NULL, 10);
  const long chunk = strtol(argv[5], NULL, 10);
  char *line = malloc(length);
  if (line == NULL || length < 2 || iterations < 1 || rounds < 1 || chunk < 1) return 2;
  memset(line, 'x', length - 1);
  line[length - 1] = '\n';
  for (long round = 0; round < rounds; ++round) {
    double spent = 0;
    for (long done = 0; done < iterations; done += chunk) {
      if (truncate(path, 0) != 0 && append_once(path, line, 0) != 0) return 1;
      const long count = iterations - done < chunk ? iterations - done : chunk;
      const double start = now_ns();
      for (long index = 0; index < count; ++index) {
        if (append_once(path, line, length) != 0) {
          perror(path);
          return 1;
        }
      }
      spent += now_ns() - start;
    }
    printf("%.1f\n", spent / (double)iterations);
  }
  free(line);
  return 0;
}
