// The names of the errno values the action path reports, the same on every system.
#include <cerrno>
#include <string>

#include "platform/file_actions.h"

namespace merravine::platform {

std::string ErrorName(int error) {
    switch (error) {
        case EACCES:
            return "EACCES";
        case EPERM:
            return "EPERM";
        case EROFS:
            return "EROFS";
        case ENOSPC:
            return "ENOSPC";
#ifdef EDQUOT  // not in every C library
        case EDQUOT:
            return "EDQUOT";
#endif
        case EXDEV:
            return "EXDEV";
        case EEXIST:
            return "EEXIST";
        case EOPNOTSUPP:
            return "EOPNOTSUPP";
        case EINVAL:
            return "EINVAL";
        case EBUSY:
            return "EBUSY";
        case EIO:
            return "EIO";
        case EMLINK:
            return "EMLINK";
        case ENAMETOOLONG:
            return "ENAMETOOLONG";
        case ELOOP:
            return "ELOOP";
        case ENOENT:
            return "ENOENT";
        case ESTALE:
            return "ESTALE";
        default: {
            // Appended, not "E" + ...: g++ 12 at -O3 warns falsely on that form (-Wrestrict).
            std::string name = "E";
            name += std::to_string(error);
            return name;
        }
    }
}

}  // namespace merravine::platform
