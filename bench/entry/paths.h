// The client paths of the entry benchmarks: every area of the tree, paths
// that normalise to another, and paths that are refused.
#ifndef TQ_BENCH_PATHS_H
#define TQ_BENCH_PATHS_H

#include <cstddef>

namespace tqbench {

inline const char *const paths[] = {
    "/",
    "/nv",
    "/nv/cfg",
    "/nv/cfg/profile.cur",
    "/nv/cfg/site.xml",
    "/usb",
    "/usb/cfg/backup.xml",
    "/usb/logs/2024/system.log",
    "/sd/cfg",
    "/sd/pictures/img_0001.jpg",
    "/upload",
    "/upload/firmware/help",
    "/upload/firmware/fw-4.2.1.bin",
    "/upload/vpn-cert/client.p12",
    "/upload/ldap-cert/ca.pem",
    "//NV///Cfg/./Site.xml",
    "/usb/a/b/../../c/./d.bin",
    "/upload/firmware/../ssh-key/id_ed25519.pub",
    "/etc/passwd",
    "/nv/other",
    "/../../tmp/sftp/upload/firmware/fw.bin",
};

inline constexpr size_t path_count = sizeof paths / sizeof paths[0];

}  // namespace tqbench

#endif
