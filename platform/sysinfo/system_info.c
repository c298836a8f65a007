#include "system_info.h"

#include <stdlib.h>
#include <string.h>

static const char* env_for_key(int key)
{
    switch (key) {
    case SYSTEM_INFO_KEY_SW_VERSION: return "QZ_SW_VERSION";
    default: return NULL;
    }
}

int system_info_get_value_string(int key, char** value)
{
    if (value == NULL)
        return SYSTEM_INFO_ERROR_INVALID_PARAMETER;
    const char* env = env_for_key(key);
    if (env == NULL)
        return SYSTEM_INFO_ERROR_INVALID_PARAMETER;
    const char* text = getenv(env);
    if (text == NULL)
        return SYSTEM_INFO_ERROR_NO_VALUE;
    char* copy = strdup(text);
    if (copy == NULL)
        return SYSTEM_INFO_ERROR_OUT_OF_MEMORY;
    *value = copy;
    return SYSTEM_INFO_ERROR_NONE;
}
