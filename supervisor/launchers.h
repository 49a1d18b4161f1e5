// The built-in programs the start sequence fills into the process table itself: the BIOS manager and
// the network-boot download client (the phone binary's boot servers are started with it).
#pragma once

int morvIlaunch_bios_mgt();
// DIP_SWITCH chooses downc's parameter: 14 "IA", 10 "RAS", otherwise "VOIP".
int morvIlaunch_downc(int dipSwitch);
