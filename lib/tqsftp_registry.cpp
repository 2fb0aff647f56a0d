// The open-file registry: the host closes a file by descriptor alone, so every
// open that hands a descriptor out records here which area it belongs to,
// under which names it was opened and which way its data goes.
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>

#include "tqsftp_internal.h"

extern "C" {

tqsftp_file *tqsftp_file_add(int fd, const tqsftp_access *access,
                             const char *real_path, const char *client_path,
                             int access_mode)
{
    auto *f = static_cast<tqsftp_file *>(calloc(1, sizeof(tqsftp_file)));
    if (f == nullptr)
        return nullptr;
    f->fd = fd;
    f->access = access;
    f->real_path = strdup(real_path);
    if (f->real_path == nullptr) {
        free(f);
        return nullptr;
    }
    f->client_path = strdup(client_path);
    if (f->client_path == nullptr) {
        free(f->real_path);
        free(f);
        return nullptr;
    }
    f->written = access_mode != O_RDONLY;
    f->refreshes = access_mode == O_WRONLY;
    f->next = tqsftp_state.files;
    tqsftp_state.files = f;
    return f;
}

int tqsftp_file_remove(tqsftp_file *record)
{
    if (record == nullptr)
        return 0;
    tqsftp_file **link = &tqsftp_state.files;
    while (*link != nullptr && *link != record)
        link = &(*link)->next;
    if (*link == nullptr)
        return -1;
    *link = record->next;
    free(record->real_path);
    free(record->client_path);
    free(record);
    return 0;
}

tqsftp_file *tqsftp_file_find(int fd)
{
    for (tqsftp_file *f = tqsftp_state.files; f != nullptr; f = f->next) {
        if (f->fd == fd)
            return f;
    }
    return nullptr;
}

tqsftp_file *tqsftp_file_find_upload(tqsftp_action_fn action)
{
    for (tqsftp_file *f = tqsftp_state.files; f != nullptr; f = f->next) {
        if (f->written && f->access != nullptr && f->access->action == action)
            return f;
    }
    return nullptr;
}

}  // extern "C"
