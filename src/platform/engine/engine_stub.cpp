// placeholder until the engine service lands
