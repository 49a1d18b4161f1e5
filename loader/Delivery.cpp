#include "Delivery.h"

int g_deliveryVersion = 0;
int g_deliverySubVersion = 0;
std::string g_boardType;
