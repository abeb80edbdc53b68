// placeholder until the imaging service lands
