/* A local process on the OTA stream socket that is not the upgrade daemon:
 *
 *   ota-peer hold SECONDS   binds the socket's address, prints "listening,
 *                           pid P", accepts whoever connects, and on SIGTERM
 *                           or after SECONDS prints
 *                           "received N bytes" (total of every connection)
 *   ota-peer send FRAMES    connects and writes FRAMES well-formed frames
 *                           (segment 1, payload 0xEE), then prints
 *                           "sent N frames" (those written whole)
 *
 * The address is the one the client library connects to: the abstract name
 * with the zero fill of the whole 110-byte address. */
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

enum { kFrameSize = 4096, kHeaderSize = 16, kMaxConnections = 64 };
static const char kSocketName[] = "otaStream";

static volatile sig_atomic_t g_stop;

static void on_stop(int signo)
{
    (void)signo;
    g_stop = 1;
}

static struct sockaddr_un stream_address(void)
{
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path + 1, kSocketName, strlen(kSocketName));
    return address;
}

static void put_be32(unsigned char* at, int32_t value)
{
    uint32_t v = (uint32_t)value;
    at[0] = (unsigned char)(v >> 24);
    at[1] = (unsigned char)(v >> 16);
    at[2] = (unsigned char)(v >> 8);
    at[3] = (unsigned char)v;
}

static int write_all(int fd, const unsigned char* data, size_t length)
{
    while (length > 0) {
        ssize_t n = send(fd, data, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        data += n;
        length -= (size_t)n;
    }
    return 0;
}

static int send_frames(int frames)
{
    struct sockaddr_un address = stream_address();
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0 || connect(fd, (struct sockaddr*)&address, sizeof address) != 0) {
        printf("connect failed: %s\n", strerror(errno));
        return 1;
    }
    int sent = 0;
    for (; sent < frames; ++sent) {
        unsigned char frame[kFrameSize];
        memset(frame, 0xEE, sizeof frame);
        put_be32(frame, kFrameSize - kHeaderSize);
        put_be32(frame + 4, sent * (kFrameSize - kHeaderSize));
        put_be32(frame + 8, sent);
        put_be32(frame + 12, 1);
        if (write_all(fd, frame, sizeof frame) != 0)
            break;
    }
    close(fd);
    printf("sent %d frames\n", sent);
    return 0;
}

/* Reads what is there on each readable connection; drops closed ones. */
static long long drain(struct pollfd* fds, int* count)
{
    long long received = 0;
    for (int i = 1; i < *count; ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        unsigned char buffer[kFrameSize];
        ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
        if (n > 0) {
            received += n;
            continue;
        }
        close(fds[i].fd);
        fds[i--] = fds[--*count];
    }
    return received;
}

static int hold(int seconds)
{
    struct sockaddr_un address = stream_address();
    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    if (listener < 0 || bind(listener, (struct sockaddr*)&address, sizeof address) != 0 ||
        listen(listener, 16) != 0) {
        printf("bind failed: %s\n", strerror(errno));
        return 1;
    }
    printf("listening, pid %d\n", (int)getpid());
    fflush(stdout);

    struct pollfd fds[kMaxConnections] = {{.fd = listener, .events = POLLIN}};
    int count = 1;
    long long received = 0;
    time_t end = time(NULL) + seconds;
    while (!g_stop && time(NULL) < end) {
        if (poll(fds, (nfds_t)count, 100) <= 0)
            continue;
        if ((fds[0].revents & POLLIN) && count < kMaxConnections) {
            int fd = accept(listener, NULL, NULL);
            if (fd >= 0)
                fds[count++] = (struct pollfd){.fd = fd, .events = POLLIN};
        }
        received += drain(fds, &count);
    }
    printf("received %lld bytes\n", received);
    return 0;
}

int main(int argc, char** argv)
{
    if (argc != 3 || (strcmp(argv[1], "hold") != 0 && strcmp(argv[1], "send") != 0)) {
        fprintf(stderr, "usage: ota-peer hold SECONDS | send FRAMES\n");
        return 2;
    }
    setvbuf(stdout, NULL, _IOLBF, 0);
    struct sigaction stop = {.sa_handler = on_stop};
    sigaction(SIGTERM, &stop, NULL);
    sigaction(SIGINT, &stop, NULL);
    int number = atoi(argv[2]);
    return strcmp(argv[1], "hold") == 0 ? hold(number) : send_frames(number);
}
