/* The reference limit of the FTP benchmark: sends FILE over one blocking
 * loopback TCP connection in 1514-byte send() calls into a sink that reads
 * and discards, the same piece size as the FTP client's uploads.
 *
 *   ftp_plainsend FILE
 *
 * Prints the byte count and the seconds the send took. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static int listener;

static void* sink(void* arg)
{
    (void)arg;
    int s = accept(listener, NULL, NULL);
    static char buf[1 << 16];
    while (s >= 0 && recv(s, buf, sizeof buf, 0) > 0) { }
    if (s >= 0)
        close(s);
    return NULL;
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: ftp_plainsend FILE\n");
        return 2;
    }
    FILE* in = fopen(argv[1], "rb");
    if (!in) {
        perror(argv[1]);
        return 1;
    }
    struct sockaddr_in a = {0};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    listener = socket(AF_INET, SOCK_STREAM, 0);
    if (bind(listener, (struct sockaddr*)&a, sizeof a) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, (struct sockaddr*)&a, &len) != 0) {
        perror("listen");
        return 1;
    }
    pthread_t t;
    pthread_create(&t, NULL, sink, NULL);
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(s, (struct sockaddr*)&a, sizeof a) != 0) {
        perror("connect");
        return 1;
    }
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    char piece[1514];
    size_t n;
    long long total = 0;
    while ((n = fread(piece, 1, sizeof piece, in)) > 0) {
        size_t off = 0;
        while (off < n) {
            ssize_t w = send(s, piece + off, n - off, MSG_NOSIGNAL);
            if (w < 0) {
                perror("send");
                return 1;
            }
            off += (size_t)w;
        }
        total += (long long)n;
    }
    close(s);
    pthread_join(t, NULL);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    double secs = (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) / 1e9;
    printf("%lld bytes in %.3f seconds\n", total, secs);
    fclose(in);
    return 0;
}
