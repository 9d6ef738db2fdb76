#include "proxy/settings.h"

std::string auth;
base::hashmap<bool> blacklist;
egress_policy policy;
