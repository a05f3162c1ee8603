/* Preloaded after umockdev's library is loaded, before it in the search
 * order: umockdev hands every uevent to a netlink listener as if udev had sent
 * it (group 2), while USB stacks that listen to the kernel (group 1), such as
 * the libusb inside FTDI's D2XX, drop those. Messages udev sends begin with
 * "libudev"; all others are in the kernel's format and are relabelled as the
 * kernel's, so both kinds of listener see a virtual device come and go. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <linux/netlink.h>
#include <string.h>
#include <sys/socket.h>

__attribute__((visibility("default"))) ssize_t recvmsg(int fd, struct msghdr *message, int flags)
{
    static ssize_t (*next)(int, struct msghdr *, int);
    if (!next)
        next = (ssize_t(*)(int, struct msghdr *, int))dlsym(RTLD_NEXT, "recvmsg");
    ssize_t got = next(fd, message, flags);
    if (got > 0 && message->msg_name) {
        struct sockaddr_nl *from = (struct sockaddr_nl *)message->msg_name;
        const char *data = message->msg_iovlen > 0 ? (const char *)message->msg_iov[0].iov_base : NULL;
        if (from->nl_family == AF_NETLINK && from->nl_groups == 2 && data
            && !(got >= 7 && memcmp(data, "libudev", 7) == 0))
            from->nl_groups = 1;
    }
    return got;
}
