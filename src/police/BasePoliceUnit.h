#pragma once

// placeholder: the police back end interface
class TBasePolice;
extern TBasePolice* CurrentPolice;
