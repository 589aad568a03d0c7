#include "digsigmodule.h"

#include <KPluginFactory>

// The host loads the plugin without JSON metadata and asks this factory for the module.
K_PLUGIN_FACTORY(DigsigFactory, registerPlugin<DigsigModule>();)

#include "digsigfactory.moc"
